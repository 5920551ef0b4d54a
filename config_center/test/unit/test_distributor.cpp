// The rules of dispatch, in-process: what goes to which target when, held targets and their
// back-off, folding, withdrawals and the record, start-up and resynchronisation. The item
// store and both appliers are fakes (the database and the targets are what the db and node
// suites try); the record is a real one in a temporary directory.
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "distribution/distributor.hpp"
#include "logging/logging.hpp"

namespace config_center {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Tables held in memory (an item's id is its place in its table); a table can be made to
// fail. Counts what a read of values brings at once.
class FakeStore : public ItemStore {
public:
  std::map<std::string, std::vector<ConfigData>> tables;
  std::string failing_table;
  int reads = 0;
  std::vector<int64_t> value_bytes_read;  // per read of values

  bool ReadItemKeys(const char* table, std::vector<StoredItem>* items) override {
    ++reads;
    if (table == failing_table) return false;
    items->clear();
    int64_t id = 0;
    for (const ConfigData& item : tables[table]) {
      items->push_back({table, ++id, ConfigData{item.name, "", item.node_name, item.config_type},
                        static_cast<int64_t>(item.value.size())});
    }
    return true;
  }
  bool ReadItemValues(const char* table, const std::vector<int64_t>& ids,
                      std::map<int64_t, std::string>* values) override {
    ++reads;
    if (table == failing_table) return false;
    values->clear();
    int64_t bytes = 0;
    for (const int64_t id : ids) {
      const std::string& value = tables[table].at(static_cast<size_t>(id - 1)).value;
      (*values)[id] = value;
      bytes += static_cast<int64_t>(value.size());
    }
    if (!ids.empty()) value_bytes_read.push_back(bytes);
    return true;
  }
  bool ReadTargetParams(const std::string& node_name,
                        std::map<std::string, std::string>* params) override {
    ++reads;
    if (!failing_table.empty()) return false;
    params->clear();
    for (const char* table : kItemTables) {
      for (const ConfigData& item : tables[table]) {
        if (item.config_type == kParam && item.node_name == node_name) {
          (*params)[item.name] = item.value;
        }
      }
    }
    return true;
  }
  bool ReadItem(const ItemKey& key, std::optional<ConfigData>* item) override {
    ++reads;
    if (!failing_table.empty()) return false;
    item->reset();
    for (const char* table : kItemTables) {
      for (const ConfigData& row : tables[table]) {
        if (ItemKey::Of(row) == key) *item = row;
      }
    }
    return true;
  }
};

// One attempt as the applier saw it.
struct Attempted {
  Target target;
  PendingChange change;
};

// A parameter applier whose attempts end when the test says so (as answers from the executor
// do), or at once with a fixed outcome.
class FakeParams : public Applier {
public:
  std::vector<Attempted> attempts;
  std::vector<Applier::Finish> open;    // attempts not ended yet, in order
  std::optional<Outcome> at_once;       // set: every attempt ends before Apply returns
  std::map<std::string, bool> running;  // node name -> on the graph (default: yes)

  bool Accepts(const PendingChange& change, std::string* why) override {
    if (change.item.node_name.find('{') == std::string::npos) return true;
    *why = "node_name makes no valid service name";
    return false;
  }
  bool Reachable(const Target& target) override {
    const auto found = running.find(target.name);
    return found == running.end() || found->second;
  }
  std::string UnreachableReason(const Target& target) override {
    return "node " + target.name + " is not running";
  }
  void Apply(const Target& target, const PendingChange& change, Finish finish) override {
    attempts.push_back({target, change});
    if (at_once) return finish(*at_once, "told to");
    open.push_back(std::move(finish));
  }
  // Set above 1: a node's first changes go in one attempt, up to this many.
  size_t most_in_one = 1;
  std::vector<std::vector<PendingChange>> together;  // attempts of several, in order
  std::vector<Applier::FinishAll> open_together;     // not ended yet, in order

  size_t MostInOne() const override { return most_in_one; }
  void ApplyInOne(const Target&, const std::vector<PendingChange>& changes,
                  FinishAll finish) override {
    together.push_back(changes);
    open_together.push_back(std::move(finish));
  }
  // Ends the oldest open attempt of several, one outcome per change (or fewer).
  void EndTogether(const Applier::Outcomes& outcomes) {
    ASSERT_FALSE(open_together.empty());
    Applier::FinishAll finish = std::move(open_together.front());
    open_together.erase(open_together.begin());
    finish(outcomes);
  }
  // Ends the oldest open attempt.
  void End(Outcome outcome, const std::string& reason = "") {
    ASSERT_FALSE(open.empty());
    Applier::Finish finish = std::move(open.front());
    open.erase(open.begin());
    finish(outcome, reason);
  }
};

// A file applier that ends every attempt at once; some names fail, some fail in a batch.
class FakeFiles : public BatchApplier {
public:
  std::vector<Attempted> attempts;
  std::vector<std::vector<ConfigData>> batches;
  std::map<std::string, Outcome> outcome_of;  // by name; default kDone
  std::vector<std::string> fail_in_batch;

  bool Accepts(const PendingChange& change, std::string* why) override {
    if (change.item.name.find("..") == std::string::npos) return true;
    *why = "the file name is refused";
    return false;
  }
  bool Reachable(const Target&) override { return true; }
  std::string UnreachableReason(const Target&) override { return ""; }
  void Apply(const Target& target, const PendingChange& change, Finish finish) override {
    attempts.push_back({target, change});
    const auto found = outcome_of.find(change.item.name);
    finish(found == outcome_of.end() ? Outcome::kDone : found->second, "disk full");
  }
  std::vector<ConfigData> ApplyTogether(const std::vector<ConfigData>& items) override {
    batches.push_back(items);
    std::vector<ConfigData> alone;
    for (const ConfigData& item : items) {
      for (const std::string& name : fail_in_batch) {
        if (item.name == name) alone.push_back(item);
      }
    }
    return alone;
  }
};

std::string MakeDirectory() {
  std::string pattern = (fs::temp_directory_path() / "config_center_record.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

ConfigData Param(const std::string& node, const std::string& name, const std::string& value) {
  return ConfigData{name, value, node, kParam};
}
ConfigData File(const std::string& name, const std::string& value) {
  return ConfigData{name, value, "", kFile};
}

// Logging goes nowhere: the texts are the end-to-end suites' to check.
void Quiet(const spdlog::source_loc&, spdlog::level::level_enum, std::string_view) {}

class DistributorTest : public ::testing::Test {
protected:
  void SetUp() override { SetLogDivert(&Quiet); }
  void TearDown() override {
    SetLogDivert(nullptr);
    fs::remove_all(dir_);
  }

  Distributor& Make(int64_t part_bytes = Distributor::kPartBytes) {
    distributor_.emplace(
        store_, record_, files_, params_,
        DistributionEvents{
            [this](const std::string& what) { passed_over_.push_back(what); },
            [this] { ++held_or_released_; }, [this] { ++attempts_ended_; },
            [this](const PendingChange& change, Outcome outcome, const std::string& reason) {
              told_.push_back({change.id, change.item.name, outcome, reason});
            }},
        part_bytes);
    return *distributor_;
  }

  // The record as the next start of the node would read it.
  DistributionRecord Reloaded() const {
    DistributionRecord again(dir_);
    std::string why;
    EXPECT_TRUE(again.Load(&why)) << why;
    return again;
  }

  const std::string dir_ = MakeDirectory();
  FakeStore store_;
  DistributionRecord record_{dir_};
  FakeFiles files_;
  FakeParams params_;
  std::optional<Distributor> distributor_;
  std::vector<std::string> passed_over_;
  int held_or_released_ = 0;
  int attempts_ended_ = 0;
  // The outcomes told, for the item states.
  struct Told {
    int64_t id;
    std::string name;
    Outcome outcome;
    std::string reason;
  };
  std::vector<Told> told_;
};

TEST_F(DistributorTest, ATargetTakesItsChangesInOrderOneAtATimeAndFoldsWhatWaits) {
  Distributor& d = Make();
  d.Submit({1, Param("arm", "speed", "1"), false});
  d.Pump();
  d.Submit({2, Param("arm", "speed", "2"), false});
  d.Submit({3, Param("arm", "accel", "9"), false});
  d.Submit({4, Param("arm", "speed", "3"), false});
  d.Submit({5, Param("leg", "speed", "7"), false});
  d.Pump();
  // One call per node at a time; both nodes start at once.
  ASSERT_EQ(params_.attempts.size(), 2u);
  EXPECT_EQ(params_.attempts[0].change.id, 1);
  EXPECT_EQ(params_.attempts[1].target.name, "leg");

  // The answer comes from the executor: the next change of the node follows from there.
  params_.End(Outcome::kDone);
  ASSERT_EQ(params_.attempts.size(), 3u);
  EXPECT_EQ(attempts_ended_, 1);
  // speed 2 was folded into the newer speed (change 4), which waits behind accel.
  EXPECT_EQ(params_.attempts[2].change.id, 3);
  params_.End(Outcome::kDone);  // leg
  params_.End(Outcome::kDone);  // accel
  ASSERT_EQ(params_.attempts.size(), 4u);
  EXPECT_EQ(params_.attempts[3].change.id, 4);
  EXPECT_EQ(params_.attempts[3].change.item.value, "3");
  params_.End(Outcome::kDone);
  EXPECT_TRUE(d.targets().empty());
  // Only a change's first attempt is announced as such.
  for (const Attempted& attempt : params_.attempts) EXPECT_FALSE(attempt.change.announced);
}

std::vector<int64_t> Ids(const std::vector<PendingChange>& changes) {
  std::vector<int64_t> ids;
  for (const PendingChange& change : changes) ids.push_back(change.id);
  return ids;
}

TEST_F(DistributorTest, ANodesFirstChangesGoInOneAttemptEachEndingAsItsOwnOutcomeSays) {
  params_.most_in_one = 3;
  Distributor& d = Make();
  d.Submit({1, Param("arm", "speed", "1"), false});
  d.Submit({2, Param("arm", "accel", "2"), false});
  d.Submit({3, Param("arm", "gain", "3"), false});
  d.Submit({4, Param("arm", "jerk", "4"), false});
  d.Submit({5, Param("leg", "speed", "7"), false});
  d.Pump();
  // At most three together; a node with one change waiting takes the single form.
  ASSERT_EQ(params_.together.size(), 1u);
  EXPECT_EQ(Ids(params_.together[0]), (std::vector<int64_t>{1, 2, 3}));
  ASSERT_EQ(params_.attempts.size(), 1u);
  EXPECT_EQ(params_.attempts[0].change.id, 5);

  // Arriving while the attempt is under way: accel's newer value cannot join it, nor replace
  // it, and waits behind jerk.
  d.Submit({6, Param("arm", "accel", "5"), false});
  d.Pump();
  EXPECT_EQ(params_.together.size(), 1u);

  // One refused among the three: it alone is refused, with its own reason.
  params_.EndTogether(
      {{Outcome::kDone, ""}, {Outcome::kRefused, "out of range"}, {Outcome::kDone, ""}});
  ASSERT_GE(told_.size(), 3u);
  EXPECT_EQ(told_[0].id, 1);
  EXPECT_EQ(told_[0].outcome, Outcome::kDone);
  EXPECT_EQ(told_[1].id, 2);
  EXPECT_EQ(told_[1].outcome, Outcome::kRefused);
  EXPECT_EQ(told_[1].reason, "out of range");
  EXPECT_EQ(told_[2].outcome, Outcome::kDone);
  ASSERT_EQ(params_.together.size(), 2u);
  EXPECT_EQ(Ids(params_.together[1]), (std::vector<int64_t>{4, 6}));
  EXPECT_EQ(params_.together[1][1].item.value, "5");

  // The first of them applied, the node gone before the second: it alone is held, and goes
  // out again first, alone, once the node answers.
  params_.EndTogether({{Outcome::kDone, ""}, {Outcome::kLater, "node arm did not answer"}});
  EXPECT_TRUE(d.targets().IsHeld(Target{kParam, "arm"}));
  ASSERT_EQ(d.targets().HeldTargets().size(), 1u);
  EXPECT_EQ(d.targets().HeldTargets()[0].pending, 1u);
  std::this_thread::sleep_for(20ms);
  d.Pump();
  ASSERT_EQ(params_.attempts.size(), 2u);
  EXPECT_EQ(params_.attempts[1].change.id, 6);
  EXPECT_TRUE(params_.attempts[1].change.announced);
  params_.End(Outcome::kDone);  // leg's, open since the start
  params_.End(Outcome::kDone);
  EXPECT_FALSE(d.targets().IsHeld(Target{kParam, "arm"}));
  EXPECT_TRUE(d.targets().empty());
}

TEST_F(DistributorTest, AnAttemptOfSeveralHeldOrLeftShortLosesNoneAndKeepsTheirOrder) {
  params_.most_in_one = 10;
  Distributor& d = Make();
  for (int64_t id = 1; id <= 4; ++id) {
    d.Submit({id, Param("arm", "p" + std::to_string(id), std::to_string(id)), false});
  }
  d.Pump();
  ASSERT_EQ(params_.together.size(), 1u);
  // The whole request unanswered: all four wait, in order, each is told held and none done.
  params_.EndTogether(Applier::Outcomes(4, {Outcome::kLater, "node arm did not answer"}));
  ASSERT_EQ(told_.size(), 4u);
  for (const Told& told : told_) EXPECT_EQ(told.outcome, Outcome::kLater) << told.id;
  EXPECT_EQ(d.targets().HeldTargets().at(0).pending, 4u);
  std::this_thread::sleep_for(20ms);
  d.Pump();
  ASSERT_EQ(params_.together.size(), 2u);
  EXPECT_EQ(Ids(params_.together[1]), (std::vector<int64_t>{1, 2, 3, 4}));
  // An applier that ended only the first two: the other two are attempted next, not lost
  // and not left marked under way.
  params_.EndTogether({{Outcome::kDone, ""}, {Outcome::kDone, ""}});
  ASSERT_EQ(params_.together.size(), 3u);
  EXPECT_EQ(Ids(params_.together[2]), (std::vector<int64_t>{3, 4}));
  params_.EndTogether(Applier::Outcomes(2, {Outcome::kDone, ""}));
  EXPECT_TRUE(d.targets().empty());
  EXPECT_EQ(attempts_ended_, 3);  // one per attempt
}

TEST_F(DistributorTest, AHeldTargetBacksOffHoldsBackOnlyItselfAndIsReleasedOnce) {
  Distributor& d = Make();
  files_.outcome_of["maps/site.yaml"] = Outcome::kLater;
  d.Submit({1, File("maps/site.yaml", "a"), false});
  d.Submit({2, File("maps/site.yaml", "b"), false});
  d.Submit({3, File("other.yaml", "c"), false});
  d.Pump();
  // The held file keeps both of its changes; the other file went in.
  ASSERT_EQ(files_.attempts.size(), 2u);
  EXPECT_EQ(files_.attempts[1].change.item.name, "other.yaml");
  ASSERT_EQ(d.targets().HeldTargets().size(), 1u);
  EXPECT_EQ(d.targets().HeldTargets()[0].reason, "disk full");
  // b replaced a, which had not started: one change waits.
  EXPECT_EQ(d.targets().HeldTargets()[0].pending, 1u);
  EXPECT_EQ(held_or_released_, 1);

  // Not retried before its interval; retried after it, quietly, and backing off further.
  const auto first_retry = d.NextRetry();
  ASSERT_TRUE(first_retry);
  d.Pump();
  EXPECT_EQ(files_.attempts.size(), 2u);
  std::this_thread::sleep_until(*first_retry + 1ms);
  d.Pump();
  ASSERT_EQ(files_.attempts.size(), 3u);
  EXPECT_TRUE(files_.attempts[2].change.announced);
  const auto second_retry = d.NextRetry();
  ASSERT_TRUE(second_retry);
  EXPECT_GE(*second_retry - *first_retry, TargetQueues::kFirstRetry);
  EXPECT_EQ(held_or_released_, 1);  // still held: nothing new to tell

  // Mended: the held change goes in, then the one behind it; released once.
  files_.outcome_of.clear();
  std::this_thread::sleep_until(*second_retry + 1ms);
  d.Pump();
  EXPECT_TRUE(d.targets().empty());
  EXPECT_EQ(files_.attempts.back().change.id, 2);
  EXPECT_EQ(held_or_released_, 2);
}

TEST_F(DistributorTest, EveryChangeWaitingForAHeldTargetIsToldHeldWithItsReason) {
  Distributor& d = Make();
  files_.outcome_of["maps/site.yaml"] = Outcome::kLater;
  d.Submit({1, File("maps/site.yaml", "a"), false});
  d.Pump();
  ASSERT_EQ(d.targets().HeldTargets().size(), 1u);
  told_.clear();
  // A newer change of the held item, queued while it is held, is said to wait, with the
  // target's reason, before any retry.
  d.Submit({2, File("maps/site.yaml", "b"), false});
  ASSERT_EQ(told_.size(), 1u);
  EXPECT_EQ(told_[0].id, 2);
  EXPECT_EQ(told_[0].outcome, Outcome::kLater);
  EXPECT_EQ(told_[0].reason, "disk full");
  // A target that is not held is told nothing until its change has an outcome.
  files_.outcome_of.clear();
  told_.clear();
  d.Submit({3, File("other.yaml", "c"), false});
  EXPECT_TRUE(told_.empty());
}

TEST_F(DistributorTest, AnUnreachableNodeIsNotCalledUntilItIsBackThenAtOnce) {
  Distributor& d = Make();
  d.Submit({1, Param("arm", "speed", "1"), false});
  d.Pump();
  params_.End(Outcome::kLater, "node arm is not running (no /arm/set_parameters within 1 s)");
  ASSERT_EQ(d.targets().HeldTargets().size(), 1u);
  params_.running["arm"] = false;
  const auto retry = d.NextRetry();
  ASSERT_TRUE(retry);
  std::this_thread::sleep_until(*retry + 1ms);
  d.Pump();
  EXPECT_EQ(params_.attempts.size(), 1u);  // no call to nobody
  EXPECT_EQ(d.targets().HeldTargets()[0].reason, "node arm is not running");

  // It appears on the graph: due at once, whatever its interval says.
  params_.running["arm"] = true;
  d.RetryReachable();
  d.Pump();
  ASSERT_EQ(params_.attempts.size(), 2u);
  params_.End(Outcome::kDone);
  EXPECT_TRUE(d.targets().empty());
}

TEST_F(DistributorTest, WhatCanNeverBeAppliedIsPassedOverAndHoldsNothingBack) {
  Distributor& d = Make();
  d.Submit({1, ConfigData{"x", "1", "arm", 7}, false});  // no known kind
  d.Submit({2, File("../etc/passwd", "x"), false});      // refused name
  d.Submit({3, Param("{node}", "speed", "1"), false});   // no service name
  d.Submit({4, Param("arm", "speed", "fast"), false});
  d.Submit({5, Param("arm", "accel", ""), true});
  d.Pump();
  ASSERT_EQ(passed_over_.size(), 3u);
  EXPECT_EQ(passed_over_[0].rfind("Change 1: config_type 7", 0), 0u) << passed_over_[0];
  EXPECT_EQ(passed_over_[1].rfind("Change 2: ", 0), 0u);
  EXPECT_TRUE(files_.attempts.empty());
  // The target says never: passed over, and its next change follows.
  ASSERT_EQ(params_.attempts.size(), 1u);
  params_.End(Outcome::kNever, "the text does not read as an integer");
  EXPECT_EQ(passed_over_.back(), "Change 4: the text does not read as an integer");
  ASSERT_EQ(params_.attempts.size(), 2u);
  EXPECT_TRUE(params_.attempts[1].change.withdraw);
}

TEST_F(DistributorTest, TheRecordKnowsAnItemBeforeItGoesOutAndForgetsItOnlyOnceWithdrawn) {
  Distributor& d = Make();
  d.Submit({1, Param("arm", "speed", "1"), false});
  d.Submit({2, File("a.yaml", "a"), false});
  d.Pump();
  // Saved before the answer: a crash now still knows what may be in effect.
  DistributionRecord saved = Reloaded();
  EXPECT_EQ(saved.params().count({"arm", "speed"}), 1u);
  EXPECT_EQ(saved.files().count("a.yaml"), 1u);
  params_.End(Outcome::kDone);

  // A withdrawal that cannot be done yet keeps the entry; once done, it goes.
  d.Submit({3, Param("arm", "speed", ""), true});
  d.Pump();
  params_.End(Outcome::kLater, "node arm did not answer within 1 s");
  EXPECT_EQ(Reloaded().params().count({"arm", "speed"}), 1u);
  const auto retry = d.NextRetry();
  ASSERT_TRUE(retry);
  std::this_thread::sleep_until(*retry + 1ms);
  d.Pump();
  params_.End(Outcome::kDone);
  EXPECT_EQ(Reloaded().params().count({"arm", "speed"}), 0u);
  EXPECT_EQ(Reloaded().files().count("a.yaml"), 1u);
}

TEST_F(DistributorTest, TablesGoOutOnceEachInEffectAndWhatTheyLostIsWithdrawn) {
  // What an earlier run put into effect: one file and one parameter the tables lost.
  record_.AddFile("gone.yaml");
  record_.AddParam("arm", "gone");
  record_.AddParam("arm", "speed");
  std::string why;
  ASSERT_TRUE(record_.Save(&why)) << why;
  store_.tables["global_config"] = {Param("arm", "speed", "1"), File("site.yaml", "global"),
                                    File("map.pgm", "m"), File("bad..name", "x")};
  store_.tables["custom_config"] = {Param("arm", "speed", "5"), File("site.yaml", "custom")};
  files_.fail_in_batch = {"map.pgm"};
  params_.at_once = Outcome::kDone;

  Distributor& d = Make();
  d.BeginStartup();
  ASSERT_TRUE(d.DistributeTables());
  d.EndStartup();
  // Files together, each once, with its value in effect; the refused one passed over.
  ASSERT_EQ(files_.batches.size(), 1u);
  ASSERT_EQ(files_.batches[0].size(), 2u);
  EXPECT_EQ(files_.batches[0][0].name, "site.yaml");
  EXPECT_EQ(files_.batches[0][0].value, "custom");
  EXPECT_EQ(passed_over_.size(), 1u);
  // The file that failed in the batch is tried alone, already announced; the lost file is
  // withdrawn; files never written by the node are not touched.
  ASSERT_EQ(files_.attempts.size(), 2u);
  EXPECT_EQ(files_.attempts[0].change.item.name, "map.pgm");
  EXPECT_TRUE(files_.attempts[0].change.announced);
  EXPECT_EQ(files_.attempts[1].change.item.name, "gone.yaml");
  EXPECT_TRUE(files_.attempts[1].change.withdraw);
  // The parameter goes once, with the custom value; the lost one is withdrawn.
  ASSERT_EQ(params_.attempts.size(), 2u);
  EXPECT_EQ(params_.attempts[0].change.item.value, "5");
  EXPECT_EQ(params_.attempts[1].change.item.name, "gone");
  EXPECT_TRUE(params_.attempts[1].change.withdraw);
  const DistributionRecord saved = Reloaded();
  EXPECT_EQ(saved.files(), (std::set<std::string>{"map.pgm", "site.yaml"}));
  EXPECT_EQ(saved.params().size(), 1u);
}

TEST_F(DistributorTest, TablesAreReadAndWrittenAPartOfBoundedBytesAtATime) {
  // 10 files of 100 bytes and one of 1000, a budget of 250 bytes: values are read in parts
  // of at most 250 bytes (the large file alone), and each part goes out before the next is
  // read; the custom value of an overridden file is the only one read for it.
  for (int i = 0; i < 10; ++i) {
    store_.tables["global_config"].push_back(
        File("f" + std::to_string(i), std::string(100, static_cast<char>('a' + i))));
  }
  store_.tables["global_config"].push_back(File("big", std::string(1000, 'b')));
  store_.tables["custom_config"] = {File("f3", std::string(100, 'C'))};
  params_.at_once = Outcome::kDone;
  Distributor& d = Make(250);
  size_t in_effect = 0;
  ASSERT_TRUE(d.DistributeTables(&in_effect));
  EXPECT_EQ(in_effect, 11u);
  for (const int64_t bytes : store_.value_bytes_read) {
    EXPECT_TRUE(bytes <= 250 || bytes == 1000) << bytes;
  }
  size_t files = 0;
  for (const auto& batch : files_.batches) {
    EXPECT_LE(batch.size(), 2u);
    files += batch.size();
    for (const ConfigData& item : batch) {
      if (item.name == "f3") {
        EXPECT_EQ(item.value, std::string(100, 'C'));
      }
    }
  }
  EXPECT_EQ(files, 11u);
  EXPECT_GE(files_.batches.size(), 6u);
}

TEST_F(DistributorTest, ATableThatCannotBeReadDistributesNothing) {
  store_.tables["global_config"] = {File("site.yaml", "g")};
  store_.failing_table = "custom_config";
  Distributor& d = Make();
  EXPECT_FALSE(d.DistributeTables());
  EXPECT_TRUE(files_.batches.empty());
  EXPECT_TRUE(d.targets().empty());
}

TEST_F(DistributorTest, StartupLeavesHeldTargetsToTheMainLoop) {
  params_.at_once = Outcome::kLater;
  store_.tables["global_config"] = {Param("arm", "speed", "1")};
  Distributor& d = Make();
  d.BeginStartup();
  ASSERT_TRUE(d.DistributeTables());
  std::this_thread::sleep_for(TargetQueues::kFirstRetry * 2);
  d.Pump();
  EXPECT_EQ(params_.attempts.size(), 1u);  // held, and not retried while starting
  d.EndStartup();
  d.Pump();
  EXPECT_EQ(params_.attempts.size(), 2u);
}

TEST_F(DistributorTest, ARestartedNodeGetsItsParametersInEffectBehindWhatItStillHas) {
  store_.tables["global_config"] = {Param("arm", "speed", "1"), Param("arm", "accel", "2"),
                                    Param("leg", "speed", "3")};
  store_.tables["custom_config"] = {Param("arm", "speed", "9")};
  Distributor& d = Make();
  d.Submit({7, Param("arm", "mode", "x"), false});
  d.Pump();
  d.ResendParams("arm");
  params_.at_once = Outcome::kDone;
  params_.End(Outcome::kDone);
  ASSERT_EQ(params_.attempts.size(), 3u);
  EXPECT_EQ(params_.attempts[0].change.id, 7);
  std::map<std::string, std::string> sent;
  for (size_t i = 1; i < params_.attempts.size(); ++i) {
    EXPECT_EQ(params_.attempts[i].target.name, "arm");
    sent[params_.attempts[i].change.item.name] = params_.attempts[i].change.item.value;
  }
  EXPECT_EQ(sent, (std::map<std::string, std::string>{{"accel", "2"}, {"speed", "9"}}));

  // Its parameters cannot be read: nothing is sent, and nothing is lost from the queues.
  store_.failing_table = "global_config";
  d.ResendParams("arm");
  EXPECT_EQ(params_.attempts.size(), 3u);
}

TEST_F(DistributorTest, EveryChangesOutcomeIsToldAndARefusalLetsTheNextChangeFollow) {
  Distributor& d = Make();
  d.Submit({1, Param("arm", "speed", "x"), false});
  d.Submit({2, Param("arm", "accel", "2"), false});
  d.Submit({3, File("../out", "x"), false});  // refused by the file applier's Accepts
  d.Pump();
  ASSERT_EQ(params_.open.size(), 1u);
  params_.End(Outcome::kRefused, "wrong type");
  // A refusal is handled: the node's next change goes out, nothing is held.
  ASSERT_EQ(params_.open.size(), 1u);
  EXPECT_TRUE(d.targets().HeldTargets().empty());
  params_.End(Outcome::kLater, "node arm did not answer within 1 s");
  ASSERT_GE(told_.size(), 3u);
  EXPECT_EQ(told_[0].id, 3);
  EXPECT_EQ(told_[0].outcome, Outcome::kNever);
  EXPECT_EQ(told_[0].reason, "the file name is refused");
  EXPECT_EQ(told_[1].id, 1);
  EXPECT_EQ(told_[1].outcome, Outcome::kRefused);
  EXPECT_EQ(told_[1].reason, "wrong type");
  EXPECT_EQ(told_[2].id, 2);
  EXPECT_EQ(told_[2].outcome, Outcome::kLater);
  EXPECT_EQ(told_[2].reason, "node arm did not answer within 1 s");
}

TEST_F(DistributorTest, FilesThatStartUpPutIntoEffectTogetherAreToldDone) {
  store_.tables["global_config"] = {File("a.yaml", "1"), File("b.yaml", "2")};
  files_.fail_in_batch = {"b.yaml"};
  files_.outcome_of["b.yaml"] = Outcome::kLater;
  Distributor& d = Make();
  ASSERT_TRUE(d.DistributeTables());
  std::map<std::string, std::vector<Outcome>> by_name;
  for (const Told& told : told_) by_name[told.name].push_back(told.outcome);
  EXPECT_EQ(by_name["a.yaml"], std::vector<Outcome>{Outcome::kDone});
  // The one that could not go in with the others is tried alone, and told as it ends.
  EXPECT_EQ(by_name["b.yaml"], std::vector<Outcome>{Outcome::kLater});
}

}  // namespace
}  // namespace config_center
