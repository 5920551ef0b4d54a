#include "support/node_processes.hpp"

#include <stdexcept>

namespace config_center::test {

std::unique_ptr<Process> StartConfigCenter(const std::vector<std::string>& ros_args) {
  std::vector<std::string> argv{"config_center"};
  if (!ros_args.empty()) {
    argv.emplace_back("--ros-args");
    argv.insert(argv.end(), ros_args.begin(), ros_args.end());
  }
  return std::make_unique<Process>(argv);
}

bool WaitUntilReady(LogTail& log, Process& node, std::chrono::milliseconds timeout,
                    LogTail::Clock::time_point* ready) {
  return log.WaitFor("Config center ready", timeout, node, ready);
}

std::unique_ptr<Process> StartTarget(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"param_target"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto target = std::make_unique<Process>(argv);
  if (!target->WaitFor("ready", std::chrono::seconds(10))) {
    throw std::runtime_error("param_target did not get ready: " + target->Output());
  }
  return target;
}

}  // namespace config_center::test
