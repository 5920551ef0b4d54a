#ifndef CONFIG_CENTER_BENCH_NODE_BENCH_OPTIONS_HPP_
#define CONFIG_CENTER_BENCH_NODE_BENCH_OPTIONS_HPP_

#include <string>
#include <vector>

namespace config_center::bench {

// How much bench_node does: full by default, small counts with --quick.
struct Options {
  bool quick = false;
  int rounds = 200;
  int files = 2000;
  int params = 500;
  double idle_seconds = 5.0;
  int fsync_samples = 100;
  // --latency: only the change latency with its floors (latency_run), in this many blocks per
  // build, alternating with the builds named by --compare-with (each once) when any are.
  bool latency = false;
  int blocks = 3;
  std::vector<std::string> compare_with;
};

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_BENCH_OPTIONS_HPP_
