#ifndef CONFIG_CENTER_BENCH_NODE_LATENCY_RUN_HPP_
#define CONFIG_CENTER_BENCH_NODE_LATENCY_RUN_HPP_

#include <string>
#include <vector>

#include "bench_node/bench_options.hpp"

namespace config_center::bench {

// bench_node --latency: a change's latency alone, with the change feed up, beside its floors
// taken in the same rounds (the binary log's event reaching a change feed of this process
// after the same commit; a bare SetParameters call from this process to the same target),
// and one transaction changing a parameter of each of 100 nodes (4 processes of 25) beside a
// bare fan-out of 100 requests from this process. `programs` are node builds run in turn,
// block by block (the installed one, and one to compare with), each in blocks of
// `o.rounds` changes; prints one table per build.
void RunLatencyComparison(const Options& o, const std::vector<std::string>& programs);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_LATENCY_RUN_HPP_
