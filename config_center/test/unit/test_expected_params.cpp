// Telling another party's parameter change from the node's own, from what /parameter_events
// would carry: events of the node's own sets arrive late, out of step with the answers and
// after newer sets, and must never count as drift.
#include <chrono>
#include <string>

#include <gtest/gtest.h>
#include <rcl_interfaces/msg/parameter_type.hpp>

#include "params/expected_params.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using Clock = ExpectedParams::Clock;
using Seen = ExpectedParams::Seen;
using Value = ExpectedParams::Value;
using rcl_interfaces::msg::ParameterType;

const Clock::time_point kT0 = Clock::time_point(1h);

Value Int(int64_t v) {
  Value value;
  value.type = ParameterType::PARAMETER_INTEGER;
  value.integer_value = v;
  return value;
}

TEST(ExpectedParams, OwnSetsNeverDriftEvenWhenTheirEventsComeLate) {
  ExpectedParams expected;
  // Each answer comes before the next set (one change of a target at a time).
  expected.Sent("arm", "max_speed", Int(5), kT0);
  expected.Applied("arm", "max_speed");
  expected.Sent("arm", "max_speed", Int(6), kT0 + 1ms);
  expected.Applied("arm", "max_speed");
  // Both events arrive after both answers: each is the node's own.
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(5), kT0 + 2ms), Seen::kOwn);
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(6), kT0 + 3ms), Seen::kOwn);
  // Its event seen, a set no longer covers the same value from somebody else... except that
  // it is the value that must hold, which is never drift.
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(6), kT0 + 4ms), Seen::kOwn);
  // The first value again, by hand: drift, though the node once sent it.
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(5), kT0 + 5ms), Seen::kDrifted);
  const auto* found = expected.Find("arm", "max_speed");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->value, Int(6));
}

TEST(ExpectedParams, ForeignChangesAndDeletionsDrift) {
  ExpectedParams expected;
  expected.Sent("arm", "max_speed", Int(5), kT0);
  // Before the first answer nothing holds yet.
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(9), kT0), Seen::kOwn);
  expected.Applied("arm", "max_speed");
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(5), kT0 + 1ms), Seen::kOwn);
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(7), kT0 + 2ms), Seen::kDrifted);
  EXPECT_EQ(expected.Observe("arm", "max_speed", Value(), kT0 + 3ms), Seen::kDrifted);
  // Another node's parameter of the same name, or another parameter, is not managed.
  EXPECT_EQ(expected.Observe("gripper", "max_speed", Int(7), kT0), Seen::kNotManaged);
  EXPECT_EQ(expected.Observe("arm", "gain", Int(7), kT0), Seen::kNotManaged);
  // A withdrawn item is no one's.
  expected.Forget("arm", "max_speed");
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(7), kT0), Seen::kNotManaged);
  EXPECT_EQ(expected.size(), 0u);
}

TEST(ExpectedParams, ASetWhoseEventNeverCameIsForgottenInTime) {
  ExpectedParams expected;
  expected.Sent("arm", "max_speed", Int(5), kT0);
  expected.Applied("arm", "max_speed");
  // Refused by the node after all, or its event lost: 4 the node sent once is no cover for
  // a hand change to 4 long after.
  expected.Sent("arm", "max_speed", Int(4), kT0 + 1ms);
  EXPECT_EQ(expected.Observe("arm", "max_speed", Int(4), kT0 + ExpectedParams::kInFlight + 2ms),
            Seen::kDrifted);
}

}  // namespace
}  // namespace config_center
