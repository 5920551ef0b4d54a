#include "bench_startup/idle_turns.hpp"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench_node/reference_processes.hpp"
#include "bench_startup/target_processes.hpp"
#include "support/cpu_sampling.hpp"
#include "support/log_tail.hpp"
#include "support/node_processes.hpp"

namespace config_center::bench {

namespace {

using Clock = std::chrono::steady_clock;

// The group a thread's figures are added to.
std::string GroupOf(const test::ThreadCpu& thread, pid_t pid, const std::string& process_name) {
  if (thread.tid == pid) return "main";
  if (thread.name == process_name) return "unnamed";
  return thread.name;
}

double TargetsCpuSeconds(const std::vector<pid_t>& pids) {
  double total = 0;
  for (const pid_t pid : pids) total += test::CpuSeconds(pid);
  return total;
}

// Samples `pid` and the targets together over `seconds`.
IdleWindow SampleIdle(pid_t pid, const std::vector<pid_t>& targets, double seconds) {
  std::map<pid_t, test::ThreadCpu> before;
  for (test::ThreadCpu& thread : test::ThreadCpuTimes(pid)) before[thread.tid] = thread;
  const std::string process_name = before.count(pid) > 0 ? before[pid].name : "";
  const double targets_before = TargetsCpuSeconds(targets);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const std::vector<test::ThreadCpu> after = test::ThreadCpuTimes(pid);
  const double targets_after = TargetsCpuSeconds(targets);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();

  IdleWindow window;
  for (const test::ThreadCpu& thread : after) {
    // A thread started within the window counts from nothing; one that ended is lost.
    const auto was = before.find(thread.tid);
    const double cpu = thread.seconds - (was == before.end() ? 0 : was->second.seconds);
    const double sleeps =
        static_cast<double>(thread.sleeps - (was == before.end() ? 0 : was->second.sleeps));
    const std::string group = GroupOf(thread, pid, process_name);
    window.thread_share[group] += 100.0 * cpu / wall;
    window.thread_wakeups[group] += sleeps / wall;
    window.share += 100.0 * cpu / wall;
    window.wakeups += sleeps / wall;
  }
  window.targets_share = 100.0 * (targets_after - targets_before) / wall;
  return window;
}

IdleWindow RunIdle(const Load& load, const TargetProcesses& targets, const std::string& program,
                   double seconds, double settle_seconds, int* repeated) {
  if (program.empty()) {
    auto bare = StartReference(Reference::kBareNode);
    std::this_thread::sleep_for(std::chrono::duration<double>(settle_seconds));
    const IdleWindow window = SampleIdle(bare->pid(), targets.pids(), seconds);
    StopReference(bare);
    return window;
  }
  // A target that did not answer within 1 s at start-up (a loaded machine) is held and
  // retried: not idle. Such a start-up is repeated, twice at most.
  std::unique_ptr<test::LogTail> log;
  std::unique_ptr<test::Process> node;
  for (int attempt = 0;; ++attempt) {
    log = std::make_unique<test::LogTail>();
    node = std::make_unique<test::Process>(std::vector<std::string>{program});
    if (!test::WaitUntilReady(*log, *node, std::chrono::seconds(120))) {
      throw std::runtime_error(program + " did not get ready: " + node->Output());
    }
    if (log->Count("Holding back") == 0) break;
    if (attempt == 2) {
      throw std::runtime_error(program + " held a target back at start-up with " + load.label +
                               ", three times");
    }
    std::fprintf(stderr, "%s held a target back at start-up with %s: started again\n",
                 program.c_str(), load.label.c_str());
    ++*repeated;
    node->Signal(SIGTERM);
    node->Wait(std::chrono::seconds(10));
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(settle_seconds));
  std::fprintf(stderr, "idle window: %s, %s, pid %d, %.0f s\n", load.label.c_str(), program.c_str(),
               static_cast<int>(node->pid()), seconds);
  const IdleWindow window = SampleIdle(node->pid(), targets.pids(), seconds);
  if (log->Count("Holding back") > 0) {
    throw std::runtime_error(program + " held a target back while idle with " + load.label);
  }
  node->Signal(SIGTERM);
  if (node->Wait(std::chrono::seconds(10)) != 0) {
    throw std::runtime_error(program + " did not stop cleanly: " + node->Output());
  }
  return window;
}

}  // namespace

std::vector<IdleSeries> MeasureIdleInTurn(const std::vector<Load>& loads,
                                          std::vector<std::string> programs, int rounds,
                                          double seconds, double settle_seconds, int* repeated) {
  programs.push_back("");  // the floor
  std::vector<IdleSeries> series;
  for (const Load& load : loads) {
    for (const std::string& program : programs) series.push_back({load, program, {}});
  }
  for (int r = 0; r < rounds; ++r) {
    // Every other round in the opposite order, so that neither always comes first.
    const auto nth = [r](size_t i, size_t count) { return r % 2 == 0 ? i : count - 1 - i; };
    for (size_t i = 0; i < loads.size(); ++i) {
      const size_t l = nth(i, loads.size());
      const Load& load = loads[l];
      std::fprintf(stderr, "idle round %d of %d: %s\n", r + 1, rounds, load.label.c_str());
      {
        test::AdminDb db;
        LoadTables(db, load);
      }
      TargetProcesses targets(load);
      for (size_t j = 0; j < programs.size(); ++j) {
        // The builds in turn; the floor after them.
        const size_t p = j + 1 == programs.size() ? j : nth(j, programs.size() - 1);
        series[l * programs.size() + p].windows.push_back(
            RunIdle(load, targets, programs[p], seconds, settle_seconds, repeated));
      }
    }
  }
  return series;
}

}  // namespace config_center::bench
