#include "node/wake_signal.hpp"

#include <exception>
#include <utility>

namespace config_center {

WakeSignal::WakeSignal(std::function<void(bool)> on_wake, std::function<bool()> also_ready)
    : on_wake_(std::move(on_wake)), also_ready_(std::move(also_ready)) {}

void WakeSignal::Trigger() noexcept {
  triggered_.store(true, std::memory_order_release);
  try {
    guard_.trigger();
  } catch (const std::exception&) {
    // ROS is shutting down: nothing waits any more.
  }
}

#if RCLCPP_VERSION_MAJOR >= 28
void WakeSignal::add_to_wait_set(rcl_wait_set_t& wait_set) { guard_.add_to_wait_set(wait_set); }

bool WakeSignal::is_ready(const rcl_wait_set_t& wait_set) { return Ready(wait_set); }

void WakeSignal::execute(const std::shared_ptr<void>& /*data*/) { Run(); }
#else
void WakeSignal::add_to_wait_set(rcl_wait_set_t* wait_set) { guard_.add_to_wait_set(wait_set); }

bool WakeSignal::is_ready(rcl_wait_set_t* wait_set) { return Ready(*wait_set); }

void WakeSignal::execute(std::shared_ptr<void>& /*data*/) { Run(); }
#endif

bool WakeSignal::Ready(const rcl_wait_set_t& wait_set) const {
  for (size_t i = 0; i < wait_set.size_of_guard_conditions; ++i) {
    if (wait_set.guard_conditions[i] == &guard_.get_rcl_guard_condition()) return true;
  }
  return triggered_.load(std::memory_order_acquire) || (also_ready_ && also_ready_());
}

void WakeSignal::Run() { on_wake_(triggered_.exchange(false, std::memory_order_acq_rel)); }

}  // namespace config_center
