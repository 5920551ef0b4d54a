#include "support/cpu_sampling.hpp"

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace config_center::test {

double CpuSeconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) throw std::runtime_error("cannot list " + tasks);
  double total = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    // A thread that ended since the listing has no file left: it counts for nothing.
    std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
    unsigned long long on_cpu_ns = 0;
    if (in >> on_cpu_ns) total += static_cast<double>(on_cpu_ns) / 1e9;
  }
  ::closedir(dir);
  return total;
}

std::vector<ThreadCpu> ThreadCpuTimes(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) throw std::runtime_error("cannot list " + tasks);
  std::vector<ThreadCpu> threads;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = tasks + "/" + entry->d_name;
    ThreadCpu thread;
    thread.tid = static_cast<pid_t>(std::stol(entry->d_name));
    // A thread that ended since the listing has no files left: it is left out.
    std::ifstream schedstat(task + "/schedstat");
    unsigned long long on_cpu_ns = 0;
    if (!(schedstat >> on_cpu_ns)) continue;
    thread.seconds = static_cast<double>(on_cpu_ns) / 1e9;
    std::ifstream comm(task + "/comm");
    std::getline(comm, thread.name);
    std::ifstream status(task + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        thread.sleeps = std::stoull(line.substr(line.find(':') + 1));
      }
    }
    threads.push_back(std::move(thread));
  }
  ::closedir(dir);
  return threads;
}

std::vector<double> CpuShares(const std::vector<pid_t>& pids, double seconds) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> before;
  before.reserve(pids.size());
  for (pid_t pid : pids) before.push_back(CpuSeconds(pid));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  std::vector<double> shares;
  shares.reserve(pids.size());
  for (size_t i = 0; i < pids.size(); ++i) shares.push_back(CpuSeconds(pids[i]) - before[i]);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  for (double& share : shares) share = 100.0 * share / wall;
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
