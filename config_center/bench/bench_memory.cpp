// The node's resident memory with large file items, measured from outside as a robot runs
// it: the peak (VmHWM) from the process start until every file is in place, with 10, 100
// and 500 MiB of file items of 8 MiB each, and the peak during a burst of large changes at
// run time (one transaction changing a number of those files), from the burst's commit to
// the last file in place. Beside each: the bytes of item values involved, and the node idle
// with no items at all (the floor: what rclcpp, DDS and the client library take).
//
//   bench_memory [--quick] [--node PROGRAM]
//
// Runs inside scripts/isolated.sh (the isolated MariaDB, /opt/velgar). --node starts another
// build of the node (for a before/after comparison in one run).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/config_files.hpp"
#include "support/log_tail.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace {

using config_center::test::AdminDb;
using config_center::test::LogTail;
using config_center::test::Process;
using namespace std::chrono_literals;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kItemBytes = 8 * kMiB;

// A /proc/<pid>/status field in KiB ("VmHWM", "VmRSS"); -1 when it cannot be read.
int64_t StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
  }
  return -1;
}

// Starts counting the peak afresh (the kernel's "5" to clear_refs resets VmHWM).
bool ResetPeak(pid_t pid) {
  const int fd = ::open(("/proc/" + std::to_string(pid) + "/clear_refs").c_str(), O_WRONLY);
  if (fd < 0) return false;
  const bool written = ::write(fd, "5", 1) == 1;
  ::close(fd);
  return written;
}

// `count` file items of 8 MiB in global_config, made by the server (no 8 MiB statement on the
// wire); `fill` tells versions apart.
void LoadFiles(AdminDb& db, int count, char fill) {
  for (int i = 0; i < count; ++i) {
    db.Exec("INSERT INTO global_config (name, value, node_name, config_type) VALUES ('large/" +
            std::to_string(i) + ".bin', REPEAT('" + std::string(1, fill) + "', " +
            std::to_string(kItemBytes) + "), '', 2)");
  }
}

// Waits until the file `name` has `bytes` bytes ending in `fill`.
bool WaitForLarge(const std::string& name, char fill, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::string path = std::string(config_center::test::kConfigs) + name;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (file && file.tellg() == kItemBytes) {
      file.seekg(-1, std::ios::end);
      if (file.get() == fill) return true;
    }
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

struct Row {
  std::string what;
  int64_t item_mib;
  int64_t peak_mib;
  double seconds;
};

std::unique_ptr<Process> StartNode(const std::string& program) {
  return std::make_unique<Process>(std::vector<std::string>{program});
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string program = "config_center";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--node" && i + 1 < argc) {
      program = argv[++i];
    } else {
      std::cerr << "usage: bench_memory [--quick] [--node PROGRAM]\n";
      return 2;
    }
  }
  const std::vector<int> sizes_mib =
      quick ? std::vector<int>{16, 64} : std::vector<int>{10, 100, 500};
  const int burst_files = quick ? 4 : 20;
  std::vector<Row> rows;
  try {
    AdminDb db;
    // The floor: the node with nothing to distribute.
    {
      db.ResetTables();
      config_center::test::RemoveConfigs();
      LogTail log;
      auto node = StartNode(program);
      if (!log.WaitFor("Config center ready", std::chrono::milliseconds(30000), *node, nullptr))
        throw std::runtime_error("no start");
      rows.push_back({"start-up, no items (floor)", 0, StatusKiB(node->pid(), "VmHWM") / 1024, 0});
      node->Signal(SIGTERM);
      node->Wait(10s);
    }
    for (const int size_mib : sizes_mib) {
      const int count = std::max<int>(1, static_cast<int>(size_mib * kMiB / kItemBytes));
      std::cerr << "bench_memory: " << count << " file items of 8 MiB\n";
      db.ResetTables();
      config_center::test::RemoveConfigs();
      LoadFiles(db, count, 'a');
      LogTail log;
      const auto start = std::chrono::steady_clock::now();
      auto node = StartNode(program);
      if (!WaitForLarge("large/" + std::to_string(count - 1) + ".bin", 'a', 120s)) {
        throw std::runtime_error("files not in place: " + node->Output());
      }
      const double took =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      rows.push_back({"start-up to the last file in place", count * kItemBytes / kMiB,
                      StatusKiB(node->pid(), "VmHWM") / 1024, took});
      if (size_mib == sizes_mib.back()) {
        // The burst: one transaction changing `burst_files` files, from its commit to the
        // last of them in place.
        if (!log.WaitFor("Config center ready", std::chrono::milliseconds(30000), *node, nullptr))
          throw std::runtime_error("not ready");
        const int changed = std::min(burst_files, count);
        if (!ResetPeak(node->pid())) throw std::runtime_error("cannot reset the peak");
        db.Exec("START TRANSACTION");
        for (int i = 0; i < changed; ++i) {
          db.Exec("UPDATE global_config SET value = REPEAT('b', " + std::to_string(kItemBytes) +
                  ") WHERE name = 'large/" + std::to_string(i) + ".bin'");
        }
        const auto commit = std::chrono::steady_clock::now();
        db.Exec("COMMIT");
        for (int i = 0; i < changed; ++i) {
          if (!WaitForLarge("large/" + std::to_string(i) + ".bin", 'b', 120s)) {
            throw std::runtime_error("burst not in place");
          }
        }
        const double burst =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - commit).count();
        rows.push_back({"run-time burst (one transaction) to the last file in place",
                        changed * kItemBytes / kMiB, StatusKiB(node->pid(), "VmHWM") / 1024,
                        burst});
      }
      node->Signal(SIGTERM);
      node->Wait(10s);
    }
  } catch (const std::exception& error) {
    std::cerr << "bench_memory: " << error.what() << "\n";
    return 1;
  }
  std::printf("\nconfig_center resident memory with large file items (%s), this machine\n",
              program.c_str());
  std::printf("%-62s %10s %12s %9s\n", "measure", "items MiB", "peak RSS MiB", "seconds");
  for (const Row& row : rows) {
    std::printf("%-62s %10lld %12lld %9.2f\n", row.what.c_str(),
                static_cast<long long>(row.item_mib), static_cast<long long>(row.peak_mib),
                row.seconds);
  }
  std::printf(
      "target: the peak grows by at most the part read at once (64 MiB) over the floor, "
      "whatever the items' total\n");
  return 0;
}
