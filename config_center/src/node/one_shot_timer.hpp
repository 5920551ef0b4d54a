#ifndef CONFIG_CENTER_ONE_SHOT_TIMER_HPP_
#define CONFIG_CENTER_ONE_SHOT_TIMER_HPP_

#include <chrono>
#include <functional>
#include <memory>

#include <rclcpp/rclcpp.hpp>

namespace config_center {

// A timer that fires once per ArmIn(), on the executor that spins its node. One rclcpp timer
// serves it for its whole life: arming changes that timer's period and restarts it, and
// firing cancels it. No timer is made or dropped while the node spins. That matters on
// rclcpp 28 (Jazzy): a timer dropped while the executor holds it in its wait set stays there,
// expired, until something makes the executor collect its entities again; until then the
// executor maps a ready timer behind it onto the wrong entry and never runs it.
class OneShotTimer {
public:
  OneShotTimer(rclcpp::Node& node, std::function<void()> on_fire);

  // Fires `in` from now (at least 1 ns), whether or not it was armed before.
  void ArmIn(std::chrono::nanoseconds in);
  void Cancel();
  bool armed() const { return !timer_->is_canceled(); }

private:
  std::function<void()> on_fire_;
  rclcpp::TimerBase::SharedPtr timer_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_ONE_SHOT_TIMER_HPP_
