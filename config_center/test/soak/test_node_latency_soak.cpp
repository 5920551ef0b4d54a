// Soak run (ctest label "soak", left out of the normal suite): how fast changes reach their
// targets over many changes, and what the idle node costs. Prints the measured figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/cpu_sampling.hpp"
#include "support/node_test.hpp"
#include "support/percentile.hpp"

namespace config_center::test {
namespace {

using Clock = std::chrono::steady_clock;

void Report(const char* what, const std::vector<double>& ms) {
  std::printf("%-34s n=%zu  p50 %.2f ms  p90 %.2f ms  p99 %.2f ms  max %.2f ms\n", what, ms.size(),
              Percentile(ms, 50), Percentile(ms, 90), Percentile(ms, 99),
              *std::max_element(ms.begin(), ms.end()));
}

class NodeLatencySoak : public NodeTest {};

TEST_F(NodeLatencySoak, ChangesReachFilesAndParametersQuickly) {
  auto target = StartTarget({"--name", "soak", "--string", "value=0"});
  auto center = StartConfigCenter();
  ASSERT_TRUE(WaitUntilReady(log_, *center, kStartup));

  // Idle cost: with nothing to apply, the change feed (a pass a second) where the server
  // writes a binary log, else the 1 ms poll with its MAX(id) statement.
  std::this_thread::sleep_for(500ms);
  const bool feed = db_->Scalar("SELECT @@global.log_bin") == "1";
  const double idle_cpu = CpuShares({center->pid()}, 5.0)[0];
  std::printf("idle config_center (%s): %.3f %% of one core\n", feed ? "change feed" : "1 ms poll",
              idle_cpu);

  constexpr int kRounds = 200;
  std::vector<double> file_ms;
  std::vector<double> param_ms;
  db_->InsertItem("global_config", "soak.yaml", "0", "", 2);
  db_->InsertItem("global_config", "value", "0", "soak", 1);
  ASSERT_TRUE(target->WaitFor("value=\"0\"", 2s));
  for (int i = 1; i <= kRounds; ++i) {
    const std::string value = std::to_string(i);
    auto start = Clock::now();
    db_->Exec("UPDATE global_config SET value = '" + value + "' WHERE name = 'soak.yaml'");
    ASSERT_TRUE(WaitForFile(std::string(kConfigs) + "soak.yaml", &value, 2s)) << i;
    file_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());

    start = Clock::now();
    db_->Exec("UPDATE global_config SET value = '" + value + "' WHERE name = 'value'");
    ASSERT_TRUE(target->WaitFor("value=\"" + value + "\"", 2s)) << i;
    param_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  Report("table change -> file on disk:", file_ms);
  Report("table change -> parameter at node:", param_ms);
  EXPECT_LT(Percentile(file_ms, 50), 50.0);
  EXPECT_LT(Percentile(param_ms, 50), 50.0);

  Stop(*center);
}

}  // namespace
}  // namespace config_center::test
