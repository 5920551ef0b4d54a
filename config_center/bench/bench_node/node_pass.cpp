#include "bench_node/node_pass.hpp"

#include <signal.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bench_node/bench_report.hpp"
#include "bench_node/held_targets.hpp"
#include "bench_node/startup_scenario.hpp"
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

// The idle node, plain and then with two targets held (released again afterwards).
void MeasureIdle(const std::string& label, const Options& o, StartUp& node, SourceRun* run) {
  const bool polling = run->source == ChangeSource::kPoll;
  run->idle = MeasureIdleNode(node.node->pid(), polling, SettleTime(o), o,
                              label + ": idle node" + (polling ? " beside the floor loop" : ""));
  Progress(label + ": one absent target and one unwritable file");
  HeldTargets held(Name(run->source), *node.log, *node.node);
  run->held = MeasureIdleNode(node.node->pid(), false,
                              std::max(SettleTime(o), Clock::duration(kHeldSettle)), o,
                              label + ": idle node holding both");
  held.Release(*node.log, *node.node);
}

}  // namespace

PassResult RunPass(const std::string& label, const Options& o,
                   const std::vector<ChangeSource>& sources, Baselines* baselines) {
  Progress(label + ": loading " + std::to_string(o.files) + " file and " +
           std::to_string(o.params) + " parameter items");
  Items items;
  bool binary_log = false;
  {
    test::AdminDb db;
    items = LoadItems(db, o);
    binary_log = ServerWritesBinaryLog(db);
    if (binary_log) UseSource(db, ChangeSource::kFeed);
  }
  const auto targets = StartTargets();
  test::Process& latency_target = *targets.back();
  PassResult result;

  // Room for a slow node: what it takes is the figure, as long as it finishes.
  const auto start_timeout = std::chrono::seconds(120);
  Progress(label + ": first start-up");
  StartUp first = StartNode(start_timeout);
  std::string latency_value = "start";
  VerifyStartUp(first, items, latency_target, latency_value);
  StopNode(first.node);
  result.first_start_s = first.seconds;

  // No node and no connection of this program: the server has no client at all.
  if (baselines != nullptr) *baselines = MeasureBaselines(o, label);

  for (const ChangeSource source : sources) {
    const std::string run_label = label + ", " + Name(source);
    if (binary_log) {
      test::AdminDb db;
      UseSource(db, source);
    }
    SourceRun run;
    run.source = source;
    Progress(run_label + ": start-up again, nothing changed");
    StartUp again = StartNode(start_timeout);
    if (result.runs.empty()) {
      result.again_start_s = again.seconds;
      result.rss_mib = test::VmRssMiB(again.node->pid());
    }
    VerifyStartUp(again, items, latency_target, latency_value);
    ExpectSource(*again.log, *again.node, source);
    if (baselines != nullptr) MeasureIdle(run_label, o, again, &run);

    Progress(run_label + ": " + std::to_string(o.rounds) + " change rounds");
    {
      test::AdminDb db;
      run.latencies = ProbeChangeLatencies(db, items, latency_target, o.rounds, Name(source));
    }
    latency_value = RoundValue(Name(source), o.rounds);
    ExpectSourceKept(*again.log, source);
    StopNode(again.node);
    result.runs.push_back(std::move(run));
  }
  if (binary_log) {
    test::AdminDb db;
    UseSource(db, ChangeSource::kFeed);
  }
  for (const auto& target : targets) target->Signal(SIGINT);
  for (const auto& target : targets) target->Wait(5s);
  return result;
}

}  // namespace config_center::bench
