#include "node/node_pass.hpp"

#include <signal.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "node/bench_report.hpp"
#include "node/startup_scenario.hpp"
#include "support/cpu_sampling.hpp"

namespace config_center::bench {

namespace {

// Started together: coming up takes a while each, and it is not what is measured.
std::vector<std::unique_ptr<test::Process>> StartTargets() {
  std::vector<std::unique_ptr<test::Process>> targets;
  targets.reserve(kTargetNodes + 1);
  for (int n = 0; n < kTargetNodes; ++n) {
    targets.push_back(std::make_unique<test::Process>(
        std::vector<std::string>{"param_target", "--name", "bench_target_" + std::to_string(n),
                                 "--allow-undeclared", "--quiet"}));
  }
  // The latency target comes last.
  targets.push_back(std::make_unique<test::Process>(
      std::vector<std::string>{"param_target", "--name", kLatencyNode, "--allow-undeclared"}));
  for (const auto& target : targets) {
    if (!target->WaitFor("ready", 10s)) {
      throw std::runtime_error("param_target did not get ready: " + target->Output());
    }
  }
  return targets;
}

}  // namespace

PassResult RunPass(const std::string& label, test::AdminDb& db, const Options& o,
                   const std::string& self, IdleCost* idle) {
  Progress(label + ": loading " + std::to_string(o.files) + " file and " +
           std::to_string(o.params) + " parameter items");
  const Items items = LoadItems(db, o);
  const auto targets = StartTargets();
  test::Process& latency_target = *targets.back();
  PassResult result;

  // Room for a slow node: what it takes is the figure, as long as it finishes.
  const auto start_timeout = std::chrono::seconds(120);
  Progress(label + ": first start-up");
  StartUp first = StartNode(start_timeout);
  VerifyStartUp(items, latency_target);
  StopNode(first.node);
  result.first_start_s = first.seconds;

  std::unique_ptr<test::Process> floor;
  if (idle != nullptr) floor = MeasureWithoutNode(self, o, label, idle);

  Progress(label + ": start-up again, nothing changed");
  StartUp again = StartNode(start_timeout);
  result.again_start_s = again.seconds;
  result.rss_mib = test::VmRssMiB(again.node->pid());
  VerifyStartUp(items, latency_target);

  if (idle != nullptr) MeasureIdleNode(again.node->pid(), std::move(floor), o, label, idle);

  Progress(label + ": " + std::to_string(o.rounds) + " change rounds");
  result.latencies = ProbeChangeLatencies(db, items, latency_target, o.rounds);
  StopNode(again.node);
  for (const auto& target : targets) target->Signal(SIGINT);
  for (const auto& target : targets) target->Wait(5s);
  return result;
}

}  // namespace config_center::bench
