// How often an item a target keeps changing is set back: at once a few times, then held and
// set back at the growing intervals of held targets, and released once it stays. Time is
// passed in, so the intervals are exact.
#include <chrono>

#include <gtest/gtest.h>

#include "distribution/drift_guard.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using Clock = DriftGuard::Clock;
using Verdict = DriftGuard::Verdict;

const Clock::time_point kT0 = Clock::time_point(1h);
const ItemKey kGain{kParam, "arm", "gain"};
const ItemKey kSpeed{kParam, "arm", "max_speed"};

TEST(DriftGuard, AFewRestoresThenHeldWithGrowingRetries) {
  DriftGuard guard;
  for (int i = 0; i < DriftGuard::kRestoresAllowed; ++i) {
    EXPECT_EQ(guard.Drifted(kGain, kT0 + i * 1ms), Verdict::kRestore) << i;
  }
  EXPECT_FALSE(guard.IsHeld(kGain));
  const Clock::time_point held_at = kT0 + 5ms;
  EXPECT_EQ(guard.Drifted(kGain, held_at), Verdict::kStartedHold);
  EXPECT_TRUE(guard.IsHeld(kGain));
  // More changes while the retry waits add nothing.
  EXPECT_EQ(guard.Drifted(kGain, held_at + 1ms), Verdict::kHeld);
  ASSERT_TRUE(guard.NextDue().has_value());
  EXPECT_EQ(*guard.NextDue(), held_at + TargetQueues::kFirstRetry);
  EXPECT_TRUE(guard.TakeDue(held_at + 9ms).retry.empty());
  auto due = guard.TakeDue(held_at + TargetQueues::kFirstRetry);
  ASSERT_EQ(due.retry.size(), 1u);
  EXPECT_EQ(due.retry[0], kGain);
  // Set back and changed again: the interval doubles, up to the last one of held targets.
  Clock::time_point now = held_at + TargetQueues::kFirstRetry;
  Clock::duration expected = TargetQueues::kFirstRetry;
  int retries = 0;
  while (expected < TargetQueues::kLastRetry) {
    expected = std::min<Clock::duration>(2 * expected, TargetQueues::kLastRetry);
    EXPECT_EQ(guard.Drifted(kGain, now), Verdict::kHeld);
    EXPECT_EQ(*guard.NextDue(), now + expected);
    now += expected;
    ASSERT_EQ(guard.TakeDue(now).retry.size(), 1u);
    ++retries;
  }
  EXPECT_EQ(retries, 7);  // 10 ms doubling to 1 s: a fight costs a set a second at most
  EXPECT_EQ(guard.Drifted(kGain, now), Verdict::kHeld);
  EXPECT_EQ(*guard.NextDue(), now + TargetQueues::kLastRetry);
}

TEST(DriftGuard, AHeldItemThatStaysIsReleased) {
  DriftGuard guard;
  for (int i = 0; i <= DriftGuard::kRestoresAllowed; ++i) guard.Drifted(kGain, kT0);
  ASSERT_TRUE(guard.IsHeld(kGain));
  const Clock::time_point retried = kT0 + TargetQueues::kFirstRetry;
  ASSERT_EQ(guard.TakeDue(retried).retry.size(), 1u);
  EXPECT_EQ(*guard.NextDue(), retried + DriftGuard::kWindow);
  EXPECT_TRUE(guard.TakeDue(retried + DriftGuard::kWindow - 1ms).released.empty());
  const auto due = guard.TakeDue(retried + DriftGuard::kWindow);
  ASSERT_EQ(due.released.size(), 1u);
  EXPECT_FALSE(guard.IsHeld(kGain));
  EXPECT_FALSE(guard.NextDue().has_value());
  // Afresh: set back at once again.
  EXPECT_EQ(guard.Drifted(kGain, retried + DriftGuard::kWindow), Verdict::kRestore);
}

TEST(DriftGuard, ChangesSpreadOverMoreThanTheWindowAreAlwaysSetBack) {
  DriftGuard guard;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(guard.Drifted(kGain, kT0 + i * (DriftGuard::kWindow / 2)), Verdict::kRestore) << i;
  }
  // Items are independent, and a change in the database starts an item afresh.
  for (int i = 0; i < DriftGuard::kRestoresAllowed; ++i) guard.Drifted(kSpeed, kT0);
  EXPECT_EQ(guard.Drifted(kSpeed, kT0), Verdict::kStartedHold);
  EXPECT_FALSE(guard.IsHeld(kGain));
  guard.Forget(kSpeed);
  EXPECT_FALSE(guard.IsHeld(kSpeed));
  EXPECT_EQ(guard.Drifted(kSpeed, kT0), Verdict::kRestore);
}

}  // namespace
}  // namespace config_center
