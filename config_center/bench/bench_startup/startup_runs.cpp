#include "bench_startup/startup_runs.hpp"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "bench_node/bench_clock.hpp"
#include "bench_startup/file_watch.hpp"
#include "bench_startup/peers.hpp"
#include "bench_startup/set_aside.hpp"
#include "bench_startup/target_processes.hpp"
#include "support/config_files.hpp"
#include "support/cpu_sampling.hpp"
#include "support/log_tail.hpp"
#include "support/node_processes.hpp"

namespace config_center::bench {

namespace {

// A progress line on standard error, with the seconds since the first one.
void Progress(const std::string& text) {
  static const auto start = Clock::now();
  std::fprintf(stderr, "[%7.1f s] %s\n", Seconds(Clock::now() - start), text.c_str());
}

// Room for a slow start: what it takes is the figure, as long as it finishes.
Clock::duration Deadline(const Load& load) {
  return std::chrono::seconds(60) + std::chrono::milliseconds(load.items() * 2);
}

// Time on CPU of the whole process so far, the threads that ended included (/proc/<pid>/stat,
// in clock ticks): the node writes the files on a thread that is gone by then.
double ProcessCpuSeconds(pid_t pid) {
  std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (file == nullptr) return 0;
  char text[1024] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  // The fields after the command's name, which ends at the last ')'.
  const char* at = std::strrchr(text, ')');
  unsigned long utime = 0;
  unsigned long stime = 0;
  if (n == 0 || at == nullptr ||
      std::sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) !=
          2) {
    return 0;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The last run's files out of the way, moved aside rather than deleted.
void RemoveFiles(const Load& load) {
  for (int i = 0; i < load.files; ++i) {
    SetAside(std::string(test::kConfigs) + LoadFileName(load, i));
  }
}

void CheckFiles(const Load& load, const std::string& who) {
  for (int i = 0; i < load.files; ++i) {
    std::string now;
    const std::string name = LoadFileName(load, i);
    if (!test::ReadFile(std::string(test::kConfigs) + name, &now) || now != LoadFileContents(i)) {
      throw std::runtime_error("after " + who + ", " + name + " does not hold its item");
    }
  }
}

// Waits for the files and the parameters of one start-up begun at `t0`.
StartupTimes AwaitItems(const Load& load, Clock::time_point t0, FileWatch& files,
                        TargetProcesses& targets, const std::string& who) {
  StartupTimes times;
  const auto deadline = Clock::now() + Deadline(load);
  Clock::time_point last;
  if (load.files > 0) {
    if (!files.WaitForAll(
            load.files, [&](int i) { return LoadFileName(load, i); }, deadline, &last)) {
      throw std::runtime_error(who + ": not every file arrived");
    }
    times.files_s = Seconds(last - t0);
  }
  if (load.params() > 0) {
    if (!targets.WaitForRound(deadline, &last)) {
      throw std::runtime_error(who + ": not every parameter reached its node");
    }
    times.params_s = Seconds(last - t0);
  }
  CheckFiles(load, who);
  return times;
}

StartupTimes RunNode(const Load& load, FileWatch& files, TargetProcesses& targets,
                     LoadResult* result, const std::string& program) {
  RemoveFiles(load);
  files.Reset();
  test::LogTail log;
  const auto t0 = Clock::now();
  auto node = std::make_unique<test::Process>(std::vector<std::string>{program});
  StartupTimes times = AwaitItems(load, t0, files, targets, "config_center's start-up");
  Clock::time_point ready;
  if (!test::WaitUntilReady(log, *node, std::chrono::seconds(60), &ready)) {
    throw std::runtime_error("config_center did not get ready: " + node->Output());
  }
  times.ready_s = Seconds(ready - t0);
  result->rss_mib = test::VmRssMiB(node->pid());
  result->cpu_s = ProcessCpuSeconds(node->pid());
  // A held target gets its items once it answers; the time counts to then.
  result->held += static_cast<int>(log.Count("Holding back"));
  node->Signal(SIGTERM);
  if (node->Wait(std::chrono::seconds(10)) != 0) {
    throw std::runtime_error("config_center did not stop cleanly: " + node->Output());
  }
  return times;
}

StartupTimes RunPeers(const Load& load, const std::vector<std::string>& yaml_files,
                      FileWatch& files, TargetProcesses& targets) {
  RemoveFiles(load);
  files.Reset();
  const auto t0 = Clock::now();
  std::unique_ptr<test::Process> writer;
  std::unique_ptr<test::Process> loader;
  if (load.files > 0) writer = StartFileWriter(load);
  if (load.params() > 0) loader = StartParamLoader(yaml_files);
  StartupTimes times = AwaitItems(load, t0, files, targets, "the peers");
  for (auto* peer : {&writer, &loader}) {
    if (*peer && (*peer)->Wait(std::chrono::seconds(30)) != 0) {
      throw std::runtime_error("a peer failed: " + (*peer)->Output());
    }
  }
  return times;
}

}  // namespace

LoadResult MeasureLoad(const Load& load, int runs, const std::string& other_node) {
  LoadResult result;
  result.load = load;
  Progress(load.label + ": loading " + std::to_string(load.files) + " files and " +
           std::to_string(load.params()) + " parameters over " + std::to_string(load.nodes()) +
           " nodes in " + std::to_string(load.processes) + " processes");
  {
    test::AdminDb db;
    LoadTables(db, load);
  }
  char yaml_dir[] = "/tmp/bench_startup_XXXXXX";
  if (::mkdtemp(yaml_dir) == nullptr) throw std::runtime_error("mkdtemp failed");
  const std::vector<std::string> yaml_files = WriteParamFiles(load, yaml_dir);

  {
    TargetProcesses targets(load);
    FileWatch files(LoadDirectories(load));

    Progress(load.label + ": the floor");
    result.floor = MeasureFloor(load);

    for (int r = 0; r < runs; ++r) {
      Progress(load.label + ": run " + std::to_string(r + 1) + " of " + std::to_string(runs));
      result.node.push_back(RunNode(load, files, targets, &result, "config_center"));
      if (!other_node.empty()) {
        LoadResult other;  // its memory and CPU time are not reported
        result.other.push_back(RunNode(load, files, targets, &other, other_node));
        result.held += other.held;
      }
      result.peers.push_back(RunPeers(load, yaml_files, files, targets));
    }
  }
  std::filesystem::remove_all(yaml_dir);
  return result;
}

}  // namespace config_center::bench
