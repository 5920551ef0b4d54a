#ifndef CONFIG_CENTER_NODE_STOP_SIGNALS_HPP_
#define CONFIG_CENTER_NODE_STOP_SIGNALS_HPP_

#include <signal.h>

#include <atomic>
#include <memory>
#include <thread>

#include <rclcpp/context.hpp>

namespace config_center {

// SIGINT and SIGTERM taken on one thread of the node's own, which shuts the ROS context down
// (what rclcpp's own handler does, but outside signal context). Construct it first in main,
// before rclcpp::init (with SignalHandlerOptions::None) and before any other thread: the two
// signals are blocked in the constructing thread, so every thread started later (the DDS
// threads, the executors') inherits the block and the signal can only be taken here.
// Why not rclcpp's handler: a signal goes to any thread that does not block it, and one that
// lands on Cyclone DDS's receive thread, asleep in select() with no timeout, is run there only
// when that thread wakes. ThreadSanitizer defers handlers so (it cannot intercept that
// select), and the node then never stopped. Taking the signal with sigwait() also leaves no
// handler that could run while a thread holds malloc's lock.
class StopSignals {
public:
  StopSignals();
  // Ends the waiting thread when no signal came (the node stopped on its own).
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

private:
  void Wait();

  sigset_t signals_;
  std::atomic<bool> leaving_{false};
  // Taken before the thread starts, which orders its making before the thread's use.
  rclcpp::Context::SharedPtr context_;
  std::thread thread_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_NODE_STOP_SIGNALS_HPP_
