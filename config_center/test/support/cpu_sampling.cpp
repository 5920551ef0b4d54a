#include "support/cpu_sampling.hpp"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace config_center::test {

long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) throw std::runtime_error("cannot read /proc/<pid>/stat");
  std::istringstream fields(stat.substr(paren + 2));
  std::string field;
  long long utime = -1;
  long long stime = -1;
  // Fields 14 and 15 of proc(5); the stream starts at field 3.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  if (utime < 0 || stime < 0) throw std::runtime_error("short /proc/<pid>/stat");
  return utime + stime;
}

std::vector<double> CpuShares(const std::vector<pid_t>& pids, double seconds) {
  using Clock = std::chrono::steady_clock;
  std::vector<long long> before;
  before.reserve(pids.size());
  for (pid_t pid : pids) before.push_back(CpuTicks(pid));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  std::vector<long long> after;
  after.reserve(pids.size());
  for (pid_t pid : pids) after.push_back(CpuTicks(pid));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::vector<double> shares;
  shares.reserve(pids.size());
  for (size_t i = 0; i < pids.size(); ++i) {
    shares.push_back(100.0 * static_cast<double>(after[i] - before[i]) / hz / wall);
  }
  return shares;
}

double VmRssMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  throw std::runtime_error("no VmRSS for pid " + std::to_string(pid));
}

}  // namespace config_center::test
