// Soak run (ctest label "soak", left out of the normal suite): how fast changes reach their
// targets over many changes, and what the idle node costs. Prints the measured figures.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/node_harness.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace config_center::test {
namespace {

using Clock = std::chrono::steady_clock;

void Report(const char* what, const std::vector<double>& ms) {
  std::printf("%-34s n=%zu  p50 %.2f ms  p90 %.2f ms  p99 %.2f ms  max %.2f ms\n", what, ms.size(),
              Percentile(ms, 0.5), Percentile(ms, 0.9), Percentile(ms, 0.99),
              *std::max_element(ms.begin(), ms.end()));
}

// User plus system CPU time of a process, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST(NodeLatencySoak, ChangesReachFilesAndParametersQuickly) {
  AdminDb db;
  db.ResetTables();
  RemoveConfigs();
  LogTail log;
  auto target = StartTarget({"--name", "soak", "--string", "value=0"});
  auto center = StartConfigCenter();
  ASSERT_TRUE(log.WaitFor("Config center ready", 15s));

  // Idle cost: the 1 ms poll with its MAX(id) statement and nothing to apply.
  std::this_thread::sleep_for(500ms);
  const long ticks_before = CpuTicks(center->pid());
  const auto idle_start = Clock::now();
  std::this_thread::sleep_for(5s);
  const double idle_seconds = std::chrono::duration<double>(Clock::now() - idle_start).count();
  const double idle_cpu = 100.0 * static_cast<double>(CpuTicks(center->pid()) - ticks_before) /
                          static_cast<double>(sysconf(_SC_CLK_TCK)) / idle_seconds;
  std::printf("idle config_center (1 ms poll):      %.1f %% of one core\n", idle_cpu);

  constexpr int kRounds = 200;
  std::vector<double> file_ms;
  std::vector<double> param_ms;
  db.InsertItem("global_config", "soak.yaml", "0", "", 2);
  db.InsertItem("global_config", "value", "0", "soak", 1);
  ASSERT_TRUE(target->WaitFor("value=\"0\"", 2s));
  for (int i = 1; i <= kRounds; ++i) {
    const std::string value = std::to_string(i);
    auto start = Clock::now();
    db.Exec("UPDATE global_config SET value = '" + value + "' WHERE name = 'soak.yaml'");
    ASSERT_TRUE(WaitForFile(std::string(kConfigs) + "soak.yaml", &value, 2s)) << i;
    file_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());

    start = Clock::now();
    db.Exec("UPDATE global_config SET value = '" + value + "' WHERE name = 'value'");
    ASSERT_TRUE(target->WaitFor("value=\"" + value + "\"", 2s)) << i;
    param_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  Report("table change -> file on disk:", file_ms);
  Report("table change -> parameter at node:", param_ms);
  EXPECT_LT(Percentile(file_ms, 0.5), 50.0);
  EXPECT_LT(Percentile(param_ms, 0.5), 50.0);

  center->Signal(SIGTERM);
  EXPECT_EQ(center->Wait(5s), 0);
}

}  // namespace
}  // namespace config_center::test
