// A robot of a hundred nodes: 100 target nodes in 4 processes of 25 (as component containers
// hold them), 20 parameters each, and 2,000 files, with the installed node over DDS on the
// isolated database. Start-up puts all of it into effect, one transaction changing a
// parameter of every node reaches all of them, and a container that restarts gets all its
// nodes' parameters back. Slow (label large): left out of the default run.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/cpu_sampling.hpp"
#include "support/node_processes.hpp"
#include "support/node_test.hpp"

namespace config_center::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProcesses = 4;
constexpr int kNodesPerProcess = 25;
constexpr int kParamsPerNode = 20;
constexpr int kFiles = 2000;
constexpr int kDirectories = 20;

std::string NodeName(int p, int n) { return "big_" + std::to_string(p) + "_" + std::to_string(n); }

std::string FileName(int i) {
  char name[40];
  std::snprintf(name, sizeof name, "dir%02d/item%04d.yaml", i % kDirectories, i);
  return name;
}

std::string FileContents(int i) { return "item: " + std::to_string(i) + "\n"; }

// One container: its nodes report every round of sets (one per node) with the time taken.
std::unique_ptr<Process> StartContainer(int p) {
  return StartTarget({"--name", "big_" + std::to_string(p), "--nodes",
                      std::to_string(kNodesPerProcess), "--allow-undeclared", "--quiet",
                      "--report-every", std::to_string(kNodesPerProcess)});
}

// Waits until `container` reports `sets` sets in all; false when it does not in `timeout`.
bool WaitForSets(Process& container, int sets, std::chrono::milliseconds timeout) {
  return container.WaitFor("sets " + std::to_string(sets) + " at_ns=", timeout);
}

class HundredNodes : public NodeTest {
protected:
  void LoadTables() {
    for (int d = 0; d < kDirectories; ++d) {
      char dir[16];
      std::snprintf(dir, sizeof dir, "dir%02d", d);
      std::filesystem::create_directories(Config(dir));
    }
    db_->Exec("START TRANSACTION");
    ItemRowsInsert rows(*db_);
    for (int i = 0; i < kFiles; ++i) rows.Add(FileName(i), FileContents(i), "", 2);
    for (int p = 0; p < kProcesses; ++p) {
      for (int n = 0; n < kNodesPerProcess; ++n) {
        for (int i = 0; i < kParamsPerNode; ++i) {
          rows.Add("p" + std::to_string(i), "v" + std::to_string(i), NodeName(p, n), 1);
        }
      }
    }
    rows.Flush();
    db_->Exec("COMMIT");
  }
};

TEST_F(HundredNodes, StartUpAChangeToEveryNodeAndARestartedContainer) {
  LoadTables();
  std::vector<std::unique_ptr<Process>> containers;
  for (int p = 0; p < kProcesses; ++p) containers.push_back(StartContainer(p));
  const auto started = Clock::now();
  auto center = StartReady();
  const int per_container = kNodesPerProcess * kParamsPerNode;
  for (int p = 0; p < kProcesses; ++p) {
    ASSERT_TRUE(WaitForSets(*containers[p], per_container, 30s))
        << "container " << p << ": " << containers[p]->Output() << log_.Since();
  }
  for (int i = 0; i < kFiles; ++i) {
    std::string contents;
    ASSERT_TRUE(ReadFile(Config(FileName(i)), &contents) && contents == FileContents(i))
        << FileName(i);
  }
  std::printf("start-up to every item in effect: %.3f s\n",
              std::chrono::duration<double>(Clock::now() - started).count());
  const double rss = VmRssMiB(center->pid());
  std::printf("resident memory after start-up: %.1f MiB\n", rss);
  EXPECT_LT(rss, 40.0);

  // One transaction, one parameter of every node.
  const auto committed = Clock::now();
  db_->Exec("UPDATE global_config SET value = 'changed' WHERE name = 'p7'");
  // Where the time goes: the node's log line for the first and the last of the 100 requests
  // (written as each goes out) against the commit.
  Clock::time_point first_sent;
  Clock::time_point last_sent;
  EXPECT_TRUE(log_.WaitFor("ParamConfigDistribute, node_name : " + NodeName(0, 0) + ", p7 :", 5s,
                           *center, &first_sent))
      << log_.Since();
  EXPECT_TRUE(log_.WaitFor("ParamConfigDistribute, node_name : " +
                               NodeName(kProcesses - 1, kNodesPerProcess - 1) + ", p7 :",
                           5s, *center, &last_sent));
  for (int p = 0; p < kProcesses; ++p) {
    // A report every 25 sets: this change is each container's next round.
    EXPECT_TRUE(WaitForSets(*containers[p], per_container + kNodesPerProcess, 5s))
        << "container " << p << ": " << containers[p]->Output();
  }
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
  };
  std::printf(
      "one transaction to a parameter of each of 100 nodes: %.1f ms (its first request seen "
      "in the log after %.1f ms, its last after %.1f ms)\n",
      ms(Clock::now() - committed), ms(first_sent - committed), ms(last_sent - committed));
  EXPECT_EQ(log_.Count("Holding back"), 0u) << log_.Since();

  // A container restarts: its 25 nodes leave the graph and come back, and get their 20
  // parameters each again, the changed one as it is now.
  containers[2]->Signal(SIGINT);
  ASSERT_EQ(containers[2]->Wait(5s), 0);
  const auto restarted = Clock::now();
  containers[2] = StartContainer(2);
  EXPECT_TRUE(WaitForSets(*containers[2], per_container, 10s))
      << containers[2]->Output() << log_.Since();
  std::printf("a restarted container of 25 nodes has all its parameters again: %.3f s\n",
              std::chrono::duration<double>(Clock::now() - restarted).count());
  Stop(*center);
  for (auto& container : containers) container->Signal(SIGINT);
  for (auto& container : containers) container->Wait(5s);
}

}  // namespace
}  // namespace config_center::test
