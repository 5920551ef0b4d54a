#include "node/one_shot_timer.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include <rcl/timer.h>

namespace config_center {

OneShotTimer::OneShotTimer(rclcpp::Node& node, std::function<void()> on_fire)
    : on_fire_(std::move(on_fire)) {
  // The period is set by each ArmIn; made cancelled, it waits for the first.
  timer_ = node.create_wall_timer(std::chrono::hours(1), [this] {
    timer_->cancel();
    on_fire_();
  });
  timer_->cancel();
}

void OneShotTimer::ArmIn(std::chrono::nanoseconds in) {
  int64_t old_period = 0;
  const int64_t period = std::max<int64_t>(in.count(), 1);
  if (rcl_timer_exchange_period(timer_->get_timer_handle().get(), period, &old_period) !=
      RCL_RET_OK) {
    rcl_reset_error();
    throw std::runtime_error("cannot change the period of a timer");
  }
  // Restarts the count from now and lifts a cancel.
  timer_->reset();
}

void OneShotTimer::Cancel() { timer_->cancel(); }

}  // namespace config_center
