// What the node does when another party changes what it put into effect, decided from the
// outcomes and observations the node would feed it: parameter events (the node's own and
// others'), and real files touched in a directory of the test's own under /tmp, seen through
// inotify. The restore itself is the node's queue's business: here it is counted.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rcl_interfaces/msg/parameter_type.hpp>

#include "disk/atomic_file.hpp"
#include "files/config_paths.hpp"
#include "node/drift_keeper.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using Value = DriftKeeper::Value;
using rcl_interfaces::msg::ParameterType;

Value Int(int64_t v) {
  Value value;
  value.type = ParameterType::PARAMETER_INTEGER;
  value.integer_value = v;
  return value;
}

const ConfigData kSpeed{"max_speed", "5", "arm", kParam};
const ItemKey kSpeedKey{kParam, "arm", "max_speed"};

class DriftKeeperTest : public ::testing::Test {
protected:
  void SetUp() override {
    char dir_template[] = "/tmp/test_drift_keeper_XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    dir_ = std::string(dir_template) + "/";
    watch_ = std::make_unique<FileWatch>(dir_, [] {});
    files_ = std::make_unique<ManagedFiles>(dir_);
    keeper_ = std::make_unique<DriftKeeper>(
        states_, watch_.get(), *files_,
        DriftKeeper::Hooks{[this](const ItemKey& key) { restored_.push_back(key); },
                           [this](const std::string& line) { log_.push_back(line); }});
  }
  void TearDown() override {
    keeper_.reset();
    watch_.reset();
    ASSERT_EQ(std::system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }
  void ApplySpeed(int64_t value) {
    keeper_->ParamSent("arm", "max_speed", Int(value));
    keeper_->Applied(kSpeed, 7, ItemStateTable::WallClock::now());
  }
  std::vector<std::string> TouchedSoon() {
    for (int i = 0; i < 100; ++i) {
      std::vector<std::string> names = watch_->TakeTouched();
      if (!names.empty()) return names;
      std::this_thread::sleep_for(10ms);
    }
    return {};
  }

  std::string dir_;
  ItemStateTable states_;
  std::unique_ptr<FileWatch> watch_;
  std::unique_ptr<ManagedFiles> files_;
  std::unique_ptr<DriftKeeper> keeper_;
  std::vector<ItemKey> restored_;
  std::vector<std::string> log_;
};

TEST_F(DriftKeeperTest, AParameterChangedByAnotherPartyIsSetBackAndTheNodesOwnSetsAreNot) {
  ApplySpeed(5);
  EXPECT_EQ(states_.Find(kSpeedKey)->state, ItemState::kApplied);
  keeper_->ParamChanged("arm", "max_speed", Int(5));  // the event of the node's own set
  EXPECT_TRUE(restored_.empty());
  keeper_->ParamChanged("arm", "max_speed", Int(9));  // ros2 param set by hand
  ASSERT_EQ(restored_.size(), 1u);
  EXPECT_EQ(restored_[0], kSpeedKey);
  EXPECT_EQ(states_.drift().restored, 1u);
  EXPECT_EQ(states_.Find(kSpeedKey)->drift_count, 1u);
  // Another node's parameter, or a parameter the node does not manage, is none of its business.
  keeper_->ParamChanged("gripper", "max_speed", Int(9));
  keeper_->ParamChanged("arm", "gain", Int(9));
  EXPECT_EQ(restored_.size(), 1u);
  // Withdrawn: free for anyone to change.
  keeper_->Withdrawn(kSpeed);
  keeper_->ParamChanged("arm", "max_speed", Int(3));
  EXPECT_EQ(restored_.size(), 1u);
  EXPECT_EQ(states_.Find(kSpeedKey), nullptr);
}

TEST_F(DriftKeeperTest, ReportLeavesItAndShowsItDrifted) {
  keeper_->SetPolicy(DriftKeeper::Policy::kReport);
  ApplySpeed(5);
  keeper_->ParamChanged("arm", "max_speed", Int(9));
  keeper_->ParamChanged("arm", "max_speed", Int(8));
  EXPECT_TRUE(restored_.empty());
  const ItemStateEntry& entry = *states_.Find(kSpeedKey);
  EXPECT_EQ(entry.state, ItemState::kDrifted);
  EXPECT_EQ(entry.reason, "it was changed by another party");
  EXPECT_EQ(entry.value, "5");  // what the database says
  EXPECT_EQ(states_.drift().reported, 2u);
  ASSERT_EQ(log_.size(), 1u) << "logged once, not per change";
  // The next change from the database is in effect again.
  ApplySpeed(5);
  EXPECT_EQ(states_.Find(kSpeedKey)->state, ItemState::kApplied);
  DriftKeeper::Policy policy;
  EXPECT_TRUE(DriftKeeper::ParsePolicy("report", &policy));
  EXPECT_EQ(policy, DriftKeeper::Policy::kReport);
  EXPECT_FALSE(DriftKeeper::ParsePolicy("Restore", &policy));
  // Ignore: nothing another party does is acted on or shown.
  keeper_->SetPolicy(DriftKeeper::Policy::kIgnore);
  keeper_->ParamChanged("arm", "max_speed", Int(9));
  EXPECT_TRUE(restored_.empty());
  EXPECT_EQ(states_.Find(kSpeedKey)->state, ItemState::kApplied);
}

TEST_F(DriftKeeperTest, ANodeThatFightsBackIsHeldAndRetriedAtIntervals) {
  ApplySpeed(5);
  // The node sets it back to 1 after every set: restored a few times, then held.
  for (int i = 0; i < DriftGuard::kRestoresAllowed + 3; ++i) {
    keeper_->ParamChanged("arm", "max_speed", Int(1));
    if (restored_.size() > static_cast<size_t>(i)) ApplySpeed(5);  // the restore took effect
  }
  EXPECT_EQ(restored_.size(), static_cast<size_t>(DriftGuard::kRestoresAllowed));
  const ItemStateEntry* entry = states_.Find(kSpeedKey);
  EXPECT_EQ(entry->state, ItemState::kHeld);
  EXPECT_EQ(entry->reason, "the node keeps changing it");
  EXPECT_EQ(states_.drift().held_fighting, 1u);
  ASSERT_TRUE(keeper_->NextDue().has_value());
  keeper_->Tick(*keeper_->NextDue());
  EXPECT_EQ(restored_.size(), static_cast<size_t>(DriftGuard::kRestoresAllowed) + 1);
  // The retry's set is in effect, but the item stays held: its node has not stopped yet.
  ApplySpeed(5);
  EXPECT_EQ(states_.Find(kSpeedKey)->state, ItemState::kHeld);
  // A new value from the database starts afresh.
  const ConfigData six{"max_speed", "6", "arm", kParam};
  keeper_->ParamSent("arm", "max_speed", Int(6));
  keeper_->Applied(six, 8, ItemStateTable::WallClock::now());
  EXPECT_EQ(states_.Find(kSpeedKey)->state, ItemState::kApplied);
}

TEST_F(DriftKeeperTest, AManagedFileChangedIsSetBackAndItsOwnRewriteIsNot) {
  const ConfigData file{"site.yaml", "a: 1\n", "", kFile};
  std::string error;
  ASSERT_EQ(WriteFileAtomically(dir_ + "site.yaml", file.value, &error), WriteStep::kNone);
  keeper_->Applied(file, 3, ItemStateTable::WallClock::now());
  { std::ofstream(dir_ + "site.yaml", std::ios::app) << "b: 2\n"; }
  keeper_->FilesTouched(TouchedSoon());
  ASSERT_EQ(restored_.size(), 1u);
  EXPECT_EQ(restored_[0], (ItemKey{kFile, "", "site.yaml"}));
  // The node writes it again: its own write is seen and found intact.
  ASSERT_EQ(WriteFileAtomically(dir_ + "site.yaml", file.value, &error), WriteStep::kNone);
  keeper_->Applied(file, 3, ItemStateTable::WallClock::now());
  keeper_->FilesTouched(TouchedSoon());
  EXPECT_EQ(restored_.size(), 1u);
  // A refused or withdrawn file is not kept.
  keeper_->Withdrawn(file);
  ASSERT_EQ(::unlink((dir_ + "site.yaml").c_str()), 0);
  keeper_->FilesTouched({"site.yaml"});
  EXPECT_EQ(restored_.size(), 1u);
}

}  // namespace
}  // namespace config_center
