// Soak run (ctest label "soak"): how long a restarted target waits for its parameters, from
// its "ready" to the last of them set, over many restarts. Prints the figures.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/node_test.hpp"
#include "support/percentile.hpp"

namespace config_center::test {
namespace {

using Clock = std::chrono::steady_clock;

class TargetRestartSoak : public NodeTest {};

TEST_F(TargetRestartSoak, ParametersAreBackSoonAfterARestart) {
  const std::vector<std::string> args{"--name",  "bot",      "--double", "speed=0", "--int",
                                      "count=0", "--string", "mode=x",   "--bool",  "on=false"};
  db_->InsertItem("global_config", "speed", "1.5", "bot", 1);
  db_->InsertItem("global_config", "count", "3", "bot", 1);
  db_->InsertItem("global_config", "mode", "auto", "bot", 1);
  db_->InsertItem("custom_config", "on", "true", "bot", 1);
  auto target = StartTarget(args);
  auto center = StartConfigCenter();
  ASSERT_TRUE(WaitUntilReady(log_, *center, kStartup));

  constexpr int kRestarts = 20;
  for (const int signal_number : {SIGKILL, SIGTERM}) {
    std::vector<double> ms;
    for (int i = 0; i < kRestarts; ++i) {
      // A pause between restarts, as a supervisor makes one. (It also keeps the kill off the
      // moment between the target printing the last set and answering it.)
      std::this_thread::sleep_for(200ms);
      target->Signal(signal_number);
      target->Wait(5s);
      target = StartTarget(args);  // returns once it printed "ready"
      const auto ready = Clock::now();
      // The four arrive in name order; "speed" is the last.
      ASSERT_TRUE(target->WaitFor("set bot.speed type=double value=1.5", 3s))
          << i << target->Output();
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - ready).count());
      if (ms.back() > 100.0) {
        std::printf("restart %d by signal %d: %.1f ms\n", i, signal_number, ms.back());
      }
      EXPECT_EQ(target->Count("set bot."), 4u) << target->Output();
    }
    std::printf(
        "%s, respawned at once: ready -> parameters back  n=%zu  p50 %.1f ms  max %.1f ms\n",
        signal_number == SIGKILL ? "SIGKILL" : "SIGTERM", ms.size(), Percentile(ms, 50),
        *std::max_element(ms.begin(), ms.end()));
    EXPECT_LT(*std::max_element(ms.begin(), ms.end()), 1000.0);
  }
  // Exactly one round per new instance: no round for the predecessor leaving the graph.
  EXPECT_EQ(log_.Count("Target bot restarted"), 2u * kRestarts) << log_.Since();

  Stop(*center);
}

}  // namespace
}  // namespace config_center::test
