#ifndef CONFIG_CENTER_BENCH_STARTUP_TARGET_PROCESSES_HPP_
#define CONFIG_CENTER_BENCH_STARTUP_TARGET_PROCESSES_HPP_

#include <chrono>
#include <memory>
#include <vector>

#include "bench_startup/startup_load.hpp"
#include "support/process.hpp"

namespace config_center::bench {

// The target nodes of a load, `nodes_per_process` to a param_target process, each process
// reporting when it has taken another round of its parameters (every parameter of each of
// its nodes once), stamped by the process itself on the monotonic clock.
class TargetProcesses {
public:
  using Clock = std::chrono::steady_clock;

  // Starts them all and returns once every one serves; throws when one does not in 30 s.
  explicit TargetProcesses(const Load& load);
  ~TargetProcesses();  // SIGINT, then waits
  TargetProcesses(const TargetProcesses&) = delete;
  TargetProcesses& operator=(const TargetProcesses&) = delete;

  // Waits until every process has taken one more round than before; `last` gets the time
  // the last of them took its last set. False when that did not happen by `deadline`.
  bool WaitForRound(Clock::time_point deadline, Clock::time_point* last);

  std::vector<pid_t> pids() const;

private:
  int per_process_ = 0;
  int rounds_ = 0;
  std::vector<std::unique_ptr<test::Process>> processes_;
};

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_STARTUP_TARGET_PROCESSES_HPP_
