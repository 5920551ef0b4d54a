#include "bench_startup/target_processes.hpp"

#include <signal.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace config_center::bench {

namespace {

// The time stamp of the report line that ends at the cursor: "sets K at_ns=T".
bool ReportTime(const std::string& output, const std::string& prefix,
                TargetProcesses::Clock::time_point* when) {
  const size_t at = output.rfind(prefix);
  if (at == std::string::npos) return false;
  const size_t end = output.find('\n', at);
  if (end == std::string::npos) return false;
  const std::string ns = output.substr(at + prefix.size(), end - at - prefix.size());
  *when = TargetProcesses::Clock::time_point(std::chrono::nanoseconds(std::stoll(ns)));
  return true;
}

}  // namespace

TargetProcesses::TargetProcesses(const Load& load)
    : per_process_(load.nodes_per_process * load.params_per_node) {
  for (int p = 0; p < load.processes; ++p) {
    processes_.push_back(std::make_unique<test::Process>(
        std::vector<std::string>{"param_target", "--name", TargetBaseName(p), "--nodes",
                                 std::to_string(load.nodes_per_process), "--allow-undeclared",
                                 "--quiet", "--report-every", std::to_string(per_process_)}));
  }
  for (const auto& process : processes_) {
    if (!process->WaitFor("ready", std::chrono::seconds(30))) {
      throw std::runtime_error("param_target did not get ready: " + process->Output());
    }
  }
}

TargetProcesses::~TargetProcesses() {
  for (const auto& process : processes_) process->Signal(SIGINT);
  for (const auto& process : processes_) process->Wait(std::chrono::seconds(5));
}

bool TargetProcesses::WaitForRound(Clock::time_point deadline, Clock::time_point* last) {
  ++rounds_;
  const std::string prefix =
      "sets " + std::to_string(static_cast<int64_t>(rounds_) * per_process_) + " at_ns=";
  *last = Clock::time_point::min();
  for (const auto& process : processes_) {
    const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
    if (!process->WaitFor(prefix, std::chrono::duration_cast<std::chrono::milliseconds>(left)) ||
        !process->WaitFor("\n", std::chrono::seconds(1))) {
      return false;
    }
    Clock::time_point when;
    if (!ReportTime(process->Output(), prefix, &when)) return false;
    *last = std::max(*last, when);
  }
  return true;
}

std::vector<pid_t> TargetProcesses::pids() const {
  std::vector<pid_t> pids;
  for (const auto& process : processes_) pids.push_back(process->pid());
  return pids;
}

}  // namespace config_center::bench
