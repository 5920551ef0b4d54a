#ifndef CONFIG_CENTER_TEST_SUPPORT_CPU_SAMPLING_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_CPU_SAMPLING_HPP_

#include <sys/types.h>

#include <vector>

namespace config_center::test {

// User plus system CPU time of a whole process so far, in clock ticks (/proc/<pid>/stat).
long long CpuTicks(pid_t pid);

// The CPU share (percent of one core) of each process over one window of `seconds`, all
// sampled together. The ticks are whole: each share may be off by one tick in the window.
std::vector<double> CpuShares(const std::vector<pid_t>& pids, double seconds);

// Resident memory of a process (VmRSS of /proc/<pid>/status), in MiB.
double VmRssMiB(pid_t pid);

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_CPU_SAMPLING_HPP_
