#ifndef CONFIG_CENTER_BENCH_NODE_NODE_PASS_HPP_
#define CONFIG_CENTER_BENCH_NODE_NODE_PASS_HPP_

#include <string>

#include "node/bench_options.hpp"
#include "node/idle_cost.hpp"
#include "node/latency_probes.hpp"
#include "support/test_db.hpp"

namespace config_center::bench {

struct PassResult {
  ChangeLatencies latencies;
  double first_start_s = 0;  // start-up onto an empty configs tree
  double again_start_s = 0;  // start-up with every item already in effect
  double rss_mib = 0;        // after the repeat start-up
};

// One pass with the DDS settings the environment holds now (`label` names them): the items
// loaded, the targets started, a first start-up, a start-up again with nothing changed, and
// the change rounds. With `idle` set, the idle cost is measured too, between and after the
// start-ups. `self` is this program's path (for the reference loops).
PassResult RunPass(const std::string& label, test::AdminDb& db, const Options& o,
                   const std::string& self, IdleCost* idle);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_NODE_PASS_HPP_
