#ifndef CONFIG_CENTER_WAKE_SIGNAL_HPP_
#define CONFIG_CENTER_WAKE_SIGNAL_HPP_

#include <atomic>
#include <functional>
#include <memory>

#include <rclcpp/version.h>
#include <rclcpp/rclcpp.hpp>

namespace config_center {

// Wakes the executor that serves it from another thread, and runs `on_wake` there: for
// Trigger() (the change feed saw a commit), and when `also_ready` says so once the executor
// is awake anyway (the ROS graph changed: rclcpp's graph listener wakes every executor of
// the node when it does). Nothing runs while neither happens: no timer, no polling.
class WakeSignal : public rclcpp::Waitable {
public:
  // `on_wake` gets whether Trigger() was called since the last run.
  WakeSignal(std::function<void(bool triggered)> on_wake, std::function<bool()> also_ready);

  // Any thread; cheap. Never throws (the feed's thread could not take it).
  void Trigger() noexcept;

  size_t get_number_of_ready_guard_conditions() override { return 1; }
  std::shared_ptr<void> take_data() override { return nullptr; }
#if RCLCPP_VERSION_MAJOR >= 28
  // rclcpp 28 (Jazzy) hands the wait set and the data over by reference (its pointer forms
  // are deprecated, and its guard condition takes only a reference).
  void add_to_wait_set(rcl_wait_set_t& wait_set) override;
  bool is_ready(const rcl_wait_set_t& wait_set) override;
  void execute(const std::shared_ptr<void>& data) override;
#else
  void add_to_wait_set(rcl_wait_set_t* wait_set) override;
  bool is_ready(rcl_wait_set_t* wait_set) override;
  void execute(std::shared_ptr<void>& data) override;
#endif

private:
  bool Ready(const rcl_wait_set_t& wait_set) const;
  void Run();

  rclcpp::GuardCondition guard_;
  std::atomic<bool> triggered_{false};
  std::function<void(bool)> on_wake_;
  std::function<bool()> also_ready_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_WAKE_SIGNAL_HPP_
