#ifndef CONFIG_CENTER_TEST_SUPPORT_CPU_SAMPLING_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_CPU_SAMPLING_HPP_

#include <sys/types.h>

#include <string>
#include <vector>

namespace config_center::test {

// Time on CPU so far of every thread `pid` has now, in seconds, from
// /proc/<pid>/task/*/schedstat (nanoseconds; the clock ticks of /proc/<pid>/stat are too
// coarse for an idle process: docs/benchmarks.md, how figures are taken). Threads that have
// ended no longer count, so a window over which a thread ends reads low.
double CpuSeconds(pid_t pid);

// One thread of a process as /proc/<pid>/task/<tid>/ shows it now: its name (comm), its time
// on CPU so far (schedstat) and how often it went to sleep (its voluntary context switches:
// each wake-up follows one).
struct ThreadCpu {
  pid_t tid = 0;
  std::string name;
  double seconds = 0;
  unsigned long long sleeps = 0;
};
std::vector<ThreadCpu> ThreadCpuTimes(pid_t pid);

// The CPU share (percent of one core) of each process over one window of `seconds`, all
// sampled together.
std::vector<double> CpuShares(const std::vector<pid_t>& pids, double seconds);

// Resident memory of a process (VmRSS of /proc/<pid>/status), in MiB.
double VmRssMiB(pid_t pid);

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_CPU_SAMPLING_HPP_
