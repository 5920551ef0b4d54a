#include "bench_node/startup_scenario.hpp"

#include <signal.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "bench_node/node_log.hpp"
#include "support/config_files.hpp"
#include "support/node_processes.hpp"

namespace config_center::bench {

StartUp StartNode(Clock::duration timeout, const std::string& program) {
  StartUp start;
  start.log = std::make_unique<test::LogTail>();
  const auto t0 = Clock::now();
  start.node = program == "config_center"
                   ? test::StartConfigCenter()
                   : std::make_unique<test::Process>(std::vector<std::string>{program});
  Clock::time_point ready;
  if (!test::WaitUntilReady(*start.log, *start.node,
                            std::chrono::duration_cast<std::chrono::milliseconds>(timeout),
                            &ready)) {
    throw std::runtime_error("config_center did not get ready: " + start.node->Output());
  }
  start.seconds = Seconds(ready - t0);
  return start;
}

void StopNode(std::unique_ptr<test::Process>& node) {
  node->Signal(SIGTERM);
  const auto status = node->Wait(10s);
  if (status != 0) {
    throw std::runtime_error("config_center did not stop cleanly (status " +
                             (status ? std::to_string(*status) : "none") + "): " + node->Output());
  }
  node.reset();
}

void VerifyStartUp(StartUp& start, const Items& items, test::Process& latency_target,
                   const std::string& latency_value) {
  for (const auto& [name, contents] : items.files) {
    std::string now;
    if (!test::ReadFile(std::string(test::kConfigs) + name, &now) || now != contents) {
      throw std::runtime_error("after start-up " + name + " does not hold its item");
    }
  }
  if (!latency_target.WaitFor(LatencyParamLine(latency_value), 5s)) {
    throw std::runtime_error("start-up did not set " + std::string(kLatencyNode) + "'s parameter");
  }
  ExpectNoLogLine(*start.log, "Holding back", "after start-up");
}

}  // namespace config_center::bench
