#ifndef CONFIG_CENTER_BENCH_NODE_LATENCY_PROBES_HPP_
#define CONFIG_CENTER_BENCH_NODE_LATENCY_PROBES_HPP_

#include <string>
#include <vector>

#include "bench_node/bench_items.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace config_center::bench {

// In ms, one sample per round each.
struct ChangeLatencies {
  std::vector<double> commit_ms;  // the UPDATE's round trip (autocommit), both items
  std::vector<double> file_ms;    // commit returned -> file renamed into place (inotify)
  std::vector<double> param_ms;   // commit returned -> the latency target's line read
};

// The value the latency items get in round `round` of the rounds tagged `tag`.
std::string RoundValue(const std::string& tag, int round);

// `rounds` rounds against a running node: the latency file item, then the latency parameter
// item, changed to RoundValue(tag, <i>). Throws when a change does not arrive within 5 s.
ChangeLatencies ProbeChangeLatencies(test::AdminDb& db, const Items& items,
                                     test::Process& latency_target, int rounds,
                                     const std::string& tag);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_LATENCY_PROBES_HPP_
