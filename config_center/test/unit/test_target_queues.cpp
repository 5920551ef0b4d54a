// What is held per target: order, folding of an item's changes, and the retry schedule.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "distribution/target_queues.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using Clock = TargetQueues::Clock;

const Target kArm{kParam, "arm"};
const Target kCam{kParam, "cam"};
const Target kSite{kFile, "site.yaml"};

PendingChange Set(int64_t id, const std::string& name, const std::string& value) {
  return PendingChange{{id, ConfigData{name, value, "arm", kParam}, false}};
}

// Takes the target's changes in the order it would be given them, as if each went in.
std::vector<int64_t> Drain(TargetQueues& queues, const Target& target) {
  std::vector<int64_t> ids;
  while (PendingChange* front = queues.Front(target)) {
    ids.push_back(front->id);
    queues.Done(target);
  }
  return ids;
}

TEST(TargetQueues, KeepsEachTargetsOrderAndFoldsANewerChangeOfAnItem) {
  TargetQueues queues;
  queues.Add(kArm, Set(1, "speed", "1"));
  queues.Add(kArm, Set(2, "mode", "a"));
  queues.Add(kCam, Set(3, "fps", "30"));
  queues.Add(kArm, Set(4, "speed", "2"));  // replaces change 1, behind mode
  queues.Add(kArm, Set(5, "speed", "3"));
  EXPECT_EQ(queues.size(), 3u);
  EXPECT_EQ(queues.Front(kArm)->item.value, "a");
  EXPECT_EQ(Drain(queues, kArm), (std::vector<int64_t>{2, 5}));
  EXPECT_EQ(Drain(queues, kCam), (std::vector<int64_t>{3}));
  EXPECT_TRUE(queues.empty());
}

TEST(TargetQueues, TargetsComeDueInTheOrderTheirChangesWereQueued) {
  TargetQueues queues;
  queues.Add(kSite, PendingChange{{1, ConfigData{"site.yaml", "s", "", kFile}, false}});
  queues.Add(kCam, Set(2, "fps", "30"));
  queues.Add(kArm, Set(3, "speed", "1"));
  EXPECT_EQ(queues.Due(Clock::now()), (std::vector<Target>{kSite, kCam, kArm}));
  queues.Done(kSite);
  queues.Add(kSite, PendingChange{{4, ConfigData{"site.yaml", "t", "", kFile}, false}});
  EXPECT_EQ(queues.Due(Clock::now()), (std::vector<Target>{kCam, kArm, kSite}));
}

TEST(TargetQueues, AChangeUnderWayIsNeverReplacedSoTheNewerValueFollowsIt) {
  TargetQueues queues;
  queues.Add(kArm, Set(1, "speed", "1"));
  queues.Start(kArm);
  EXPECT_TRUE(queues.Due(Clock::now()).empty());  // waiting for its answer
  queues.Add(kArm, Set(2, "speed", "2"));
  queues.Add(kArm, Set(3, "speed", "3"));
  EXPECT_EQ(Drain(queues, kArm), (std::vector<int64_t>{1, 3}));
}

TEST(TargetQueues, AHeldTargetWaitsGrowingIntervalsAndOthersStayDue) {
  TargetQueues queues;
  const auto t0 = Clock::now();
  queues.Add(kArm, Set(1, "speed", "1"));
  queues.Add(kSite, PendingChange{{2, ConfigData{"site.yaml", "s", "", kFile}, false}});
  EXPECT_TRUE(queues.Hold(kArm, "node arm is not running", t0));   // starts being held
  EXPECT_FALSE(queues.Hold(kArm, "node arm is not running", t0));  // still held: no news
  EXPECT_EQ(queues.Due(t0), std::vector<Target>{kSite});
  EXPECT_TRUE(queues.IsHeld(kArm));

  // 10 ms, then doubling up to a second, never beyond.
  Clock::time_point at = t0;
  std::vector<Clock::duration> waits;
  for (int i = 0; i < 10; ++i) {
    const auto next = *queues.NextRetry();
    waits.push_back(next - at);
    at = next;
    EXPECT_EQ(queues.Due(at - 1ns), std::vector<Target>{kSite});  // not before its time
    queues.Hold(kArm, "node arm is not running", at);
  }
  EXPECT_EQ(waits[0], 20ms);  // the first interval, doubled by the second Hold above
  EXPECT_EQ(waits[1], 40ms);
  EXPECT_EQ(waits.back(), 1s);

  const std::vector<TargetQueues::Held> held = queues.HeldTargets();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].target, kArm);
  EXPECT_EQ(held[0].since, t0);
  EXPECT_EQ(held[0].reason, "node arm is not running");

  // Its node appeared: due at once, and once in effect the target is released.
  queues.RetryNow(kArm);
  EXPECT_EQ(queues.Due(at), (std::vector<Target>{kArm, kSite}));  // in the order queued
  EXPECT_TRUE(queues.Done(kArm));
  EXPECT_FALSE(queues.IsHeld(kArm));
  EXPECT_EQ(queues.NextRetry(), std::nullopt);
}

TEST(TargetQueues, AReleasedTargetStartsItsNextHoldFromTheFirstInterval) {
  TargetQueues queues;
  const auto t0 = Clock::now();
  queues.Add(kArm, Set(1, "speed", "1"));
  queues.Add(kArm, Set(2, "mode", "a"));
  queues.Hold(kArm, "slow", t0);
  queues.Hold(kArm, "slow", t0);
  queues.Hold(kArm, "slow", t0);
  EXPECT_TRUE(queues.Done(kArm));
  EXPECT_TRUE(queues.Hold(kArm, "slow", t0 + 1s));
  EXPECT_EQ(*queues.NextRetry(), t0 + 1s + TargetQueues::kFirstRetry);
  EXPECT_EQ(queues.HeldTargets()[0].since, t0 + 1s);
}

}  // namespace
}  // namespace config_center
