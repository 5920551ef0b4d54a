// The table of item states: what a reader sees change (and so when a publisher has
// something to send), how `since` keeps the moment a state began, digests instead of file
// contents, and the drift counts. No ROS: the table is plain data.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "status/item_states.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using WallClock = ItemStateTable::WallClock;

const WallClock::time_point kT0 = WallClock::time_point(1000h);
const ItemKey kArmSpeed{kParam, "arm", "max_speed"};
const ItemKey kMap{kFile, "", "maps/site.yaml"};

// SHA-256 of "abc", of "" (FIPS 180-2 examples).
constexpr char kAbc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kEmpty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(ItemStates, VersionMovesOnlyWithWhatAReaderSees) {
  ItemStateTable table;
  EXPECT_TRUE(table.Set(kArmSpeed, ItemState::kHeld, "node arm is not running", "5", 7, kT0));
  const uint64_t held = table.version();
  // A retry that ends the same way changes nothing a reader sees: nothing to publish.
  EXPECT_FALSE(table.Set(kArmSpeed, ItemState::kHeld, "node arm is not running", "5", 7, kT0 + 1s));
  EXPECT_EQ(table.version(), held);
  EXPECT_EQ(table.Find(kArmSpeed)->since, kT0);
  // Another reason is visible, but the item has been held since it was first held.
  EXPECT_TRUE(table.Set(kArmSpeed, ItemState::kHeld, "node arm did not answer within 1 s", "5", 7,
                        kT0 + 2s));
  EXPECT_GT(table.version(), held);
  EXPECT_EQ(table.Find(kArmSpeed)->since, kT0);
  EXPECT_TRUE(table.Set(kArmSpeed, ItemState::kApplied, "", "5", 7, kT0 + 3s));
  const ItemStateEntry& applied = *table.Find(kArmSpeed);
  EXPECT_EQ(applied.since, kT0 + 3s);
  EXPECT_EQ(applied.value, "5");
  EXPECT_EQ(applied.change_id, 7);
  EXPECT_STREQ(ItemStateName(applied.state), "applied");
  // A newer change with the same value is still news: it reflects another change-log id.
  EXPECT_TRUE(table.Set(kArmSpeed, ItemState::kApplied, "", "5", 9, kT0 + 4s));
  EXPECT_EQ(table.Find(kArmSpeed)->since, kT0 + 3s);
  // Sent again by the node itself (a restarted target): still the change that brought it.
  EXPECT_FALSE(table.Set(kArmSpeed, ItemState::kApplied, "", "5", 0, kT0 + 5s));
  EXPECT_EQ(table.Find(kArmSpeed)->change_id, 9);
  // Another value from the tables (a resynchronisation) reflects no change-log id.
  EXPECT_TRUE(table.Set(kArmSpeed, ItemState::kApplied, "", "6", 0, kT0 + 6s));
  EXPECT_EQ(table.Find(kArmSpeed)->change_id, 0);
  EXPECT_TRUE(table.Remove(kArmSpeed));
  EXPECT_FALSE(table.Remove(kArmSpeed));
  EXPECT_EQ(table.Find(kArmSpeed), nullptr);
}

TEST(ItemStates, FilesKeepOnlyTheirDigestAndParametersTheirText) {
  ItemStateTable table;
  table.Set(kMap, ItemState::kApplied, "", "abc", 3, kT0);
  EXPECT_EQ(table.Find(kMap)->value, "");
  EXPECT_EQ(table.Find(kMap)->value_sha256, kAbc);
  // The same change id with other bytes (the tables distributed again) is a new value.
  EXPECT_TRUE(table.Set(kMap, ItemState::kApplied, "", "", 3, kT0 + 1s));
  EXPECT_EQ(table.Find(kMap)->value_sha256, kEmpty);
  EXPECT_EQ(table.Find(kMap)->since, kT0 + 1s);
  table.Set(kArmSpeed, ItemState::kRefused, "wrong type", "abc", 4, kT0);
  EXPECT_EQ(table.Find(kArmSpeed)->value, "abc");
  EXPECT_EQ(table.Find(kArmSpeed)->value_sha256, kAbc);
}

TEST(ItemStates, MarkChangesTheStateAndKeepsWhatWasApplied) {
  ItemStateTable table;
  EXPECT_FALSE(table.Mark(kMap, ItemState::kDrifted, "its content was changed", kT0));
  table.Set(kMap, ItemState::kApplied, "", "abc", 3, kT0);
  EXPECT_TRUE(table.Mark(kMap, ItemState::kDrifted, "its content was changed", kT0 + 1s));
  EXPECT_FALSE(table.Mark(kMap, ItemState::kDrifted, "its content was changed", kT0 + 2s));
  const ItemStateEntry& drifted = *table.Find(kMap);
  EXPECT_EQ(drifted.state, ItemState::kDrifted);
  EXPECT_EQ(drifted.value_sha256, kAbc);  // the digest of what the database says, not of ""
  EXPECT_EQ(drifted.change_id, 3);
  EXPECT_EQ(drifted.since, kT0 + 1s);
}

TEST(ItemStates, SelectionsAndCounts) {
  ItemStateTable table;
  table.Set(kArmSpeed, ItemState::kApplied, "", "5", 1, kT0);
  table.Set({kParam, "arm", "gain"}, ItemState::kRefused, "no", "x", 2, kT0);
  table.Set({kParam, "gripper", "force"}, ItemState::kHeld, "gone", "1", 3, kT0);
  table.Set(kMap, ItemState::kPassedOver, "bad name", "", 4, kT0);
  // A file is no node's, even when its key had a node name: OfNode gives parameters only.
  table.Set({kFile, "", "arm"}, ItemState::kApplied, "", "", 5, kT0);
  EXPECT_EQ(table.size(), 5u);
  const auto arm = table.OfNode("arm");
  ASSERT_EQ(arm.size(), 2u);
  EXPECT_EQ(arm[0].key.name, "gain");  // key order
  EXPECT_EQ(arm[1].key.name, "max_speed");
  EXPECT_TRUE(table.OfNode("nobody").empty());
  EXPECT_EQ(table.Count(ItemState::kApplied), 2u);
  EXPECT_EQ(table.Count(ItemState::kDrifted), 0u);
  EXPECT_EQ(table.All().size(), 5u);
}

// The counts are kept as states change rather than counted on each summary: after every kind
// of change they must still agree with the items the table holds.
TEST(ItemStates, CountsFollowEveryChangeOfState) {
  ItemStateTable table;
  const auto expect_counts_match = [&table](const std::string& after) {
    size_t total = 0;
    for (const ItemState state : {ItemState::kApplied, ItemState::kHeld, ItemState::kRefused,
                                  ItemState::kPassedOver, ItemState::kDrifted}) {
      size_t held = 0;
      for (const ItemStateEntry& entry : table.All()) held += entry.state == state ? 1 : 0;
      EXPECT_EQ(table.Count(state), held) << ItemStateName(state) << " after " << after;
      total += table.Count(state);
    }
    EXPECT_EQ(total, table.size()) << "after " << after;
  };
  const ItemKey gain{kParam, "arm", "gain"};
  table.Set(kArmSpeed, ItemState::kHeld, "node arm is not running", "5", 1, kT0);
  table.Set(gain, ItemState::kHeld, "node arm is not running", "2", 2, kT0);
  table.Set(kMap, ItemState::kApplied, "", "abc", 3, kT0);
  expect_counts_match("three inserted");
  // The same outcome again, and another reason in the same state, move nothing.
  table.Set(kArmSpeed, ItemState::kHeld, "node arm is not running", "5", 1, kT0 + 1s);
  table.Set(kArmSpeed, ItemState::kHeld, "node arm did not answer within 1 s", "5", 1, kT0 + 1s);
  expect_counts_match("a retry");
  table.Set(kArmSpeed, ItemState::kApplied, "", "5", 1, kT0 + 2s);
  table.Set(gain, ItemState::kRefused, "out of range", "2", 2, kT0 + 2s);
  expect_counts_match("applied and refused");
  table.Mark(kMap, ItemState::kDrifted, "its content was changed", kT0 + 3s);
  table.Mark(kMap, ItemState::kDrifted, "its content was changed", kT0 + 4s);
  table.Mark({kFile, "", "absent"}, ItemState::kDrifted, "", kT0 + 4s);
  expect_counts_match("marked drifted");
  table.Mark(kMap, ItemState::kApplied, "", kT0 + 5s);
  expect_counts_match("set back");
  EXPECT_TRUE(table.Remove(gain));
  EXPECT_FALSE(table.Remove(gain));
  expect_counts_match("withdrawn");
  table.Set(gain, ItemState::kPassedOver, "bad name", "2", 6, kT0 + 6s);
  expect_counts_match("back after its withdrawal");
  EXPECT_EQ(table.Summary(), "2 applied, 0 held, 0 refused, 1 passed_over, 0 drifted");
}

TEST(ItemStates, DriftIsCountedPerItemAndInAll) {
  ItemStateTable table;
  table.Set(kArmSpeed, ItemState::kApplied, "", "5", 1, kT0);
  const uint64_t before = table.version();
  table.CountDrift(kArmSpeed, DriftHandling::kRestored);
  table.CountDrift(kArmSpeed, DriftHandling::kRestored);
  // An item the table does not hold still counts overall.
  table.CountDrift(kMap, DriftHandling::kReported);
  table.CountDrift(kMap, DriftHandling::kWhileHeld);
  table.CountHeldFighting();
  EXPECT_GT(table.version(), before);
  EXPECT_EQ(table.Find(kArmSpeed)->drift_count, 2u);
  EXPECT_EQ(table.drift().restored, 2u);
  EXPECT_EQ(table.drift().reported, 1u);
  EXPECT_EQ(table.drift().while_held, 1u);
  EXPECT_EQ(table.drift().held_fighting, 1u);
  EXPECT_STREQ(ItemStateName(ItemState::kPassedOver), "passed_over");
  EXPECT_STREQ(ItemStateName(ItemState::kDrifted), "drifted");
}

}  // namespace
}  // namespace config_center
