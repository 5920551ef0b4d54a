#ifndef CONFIG_CENTER_BENCH_NODE_BENCH_ITEMS_HPP_
#define CONFIG_CENTER_BENCH_NODE_BENCH_ITEMS_HPP_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench_node/bench_options.hpp"
#include "support/test_db.hpp"

namespace config_center::bench {

constexpr int kTargetNodes = 5;  // bench_target_0 ... bench_target_4, quiet
constexpr char kLatencyFile[] = "bench_latency.yaml";
constexpr char kLatencyNode[] = "bench_latency";  // prints every set it takes
constexpr char kLatencyParam[] = "value";

// What the tables hold for one pass: the start-up's file items, and the two items whose
// changes are timed.
struct Items {
  int64_t latency_file_id = 0;
  int64_t latency_param_id = 0;
  std::vector<std::pair<std::string, std::string>> files;  // name, contents
};

// Fresh tables and configs directory with `o.files` 1 KiB file items in 20 directories and
// `o.params` parameter items spread over the quiet targets, then the two latency items,
// each with the value "start".
Items LoadItems(test::AdminDb& db, const Options& o);

// The line the latency target prints when its parameter is set to `value`.
std::string LatencyParamLine(const std::string& value);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_BENCH_ITEMS_HPP_
