#ifndef CONFIG_CENTER_TEST_SUPPORT_NODE_PROCESSES_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_NODE_PROCESSES_HPP_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/log_tail.hpp"
#include "support/process.hpp"

namespace config_center::test {

// The node as a user starts it: `config_center [--ros-args ROS arguments]`, found on PATH.
std::unique_ptr<Process> StartConfigCenter(const std::vector<std::string>& ros_args = {});

// Waits until the node's log says start-up has finished and polling runs; false when that
// did not happen within `timeout` or the node ended first. `ready` (may be null) gets the
// time the line was read.
bool WaitUntilReady(LogTail& log, Process& node, std::chrono::milliseconds timeout,
                    LogTail::Clock::time_point* ready = nullptr);

// A target node (param_target from PATH) with the given arguments; returns once it serves,
// and throws std::runtime_error when it does not within 10 s.
std::unique_ptr<Process> StartTarget(const std::vector<std::string>& args);

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_NODE_PROCESSES_HPP_
