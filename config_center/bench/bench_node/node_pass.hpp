#ifndef CONFIG_CENTER_BENCH_NODE_NODE_PASS_HPP_
#define CONFIG_CENTER_BENCH_NODE_NODE_PASS_HPP_

#include <optional>
#include <string>
#include <vector>

#include "bench_node/bench_options.hpp"
#include "bench_node/change_source.hpp"
#include "bench_node/idle_cost.hpp"
#include "bench_node/latency_probes.hpp"

namespace config_center::bench {

// One run of the node learning of changes one way.
struct SourceRun {
  ChangeSource source = ChangeSource::kFeed;
  ChangeLatencies latencies;
  std::optional<IdleShares> idle;  // nothing changing; beside the floor loop when polling
  std::optional<IdleShares> held;  // the same with one absent target and one unwritable file
};

struct PassResult {
  double first_start_s = 0;  // start-up onto an empty configs tree
  double again_start_s = 0;  // start-up with every item already in effect
  double rss_mib = 0;        // after the repeat start-up
  std::vector<SourceRun> runs;
};

// One pass with the DDS settings the environment holds now (`label` names them): the items
// loaded, the targets started, a first start-up, then one run of the node for each of
// `sources` in turn (its start-up with nothing changed, the change rounds). With `baselines`
// set, idle costs are measured too: the baselines while no node runs, and in each run the
// idle node, plain and with targets held. Leaves the node's account as db/schema.sql grants
// it.
PassResult RunPass(const std::string& label, const Options& o,
                   const std::vector<ChangeSource>& sources, Baselines* baselines);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_NODE_PASS_HPP_
