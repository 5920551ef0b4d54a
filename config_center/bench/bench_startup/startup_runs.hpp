#ifndef CONFIG_CENTER_BENCH_STARTUP_STARTUP_RUNS_HPP_
#define CONFIG_CENTER_BENCH_STARTUP_STARTUP_RUNS_HPP_

#include <string>
#include <vector>

#include "bench_startup/startup_floor.hpp"
#include "bench_startup/startup_load.hpp"

namespace config_center::bench {

// One start-up, from the start of its process: when its last file had its contents and when
// its last parameter was set at its node (0 when the load has none), in seconds.
struct StartupTimes {
  double files_s = 0;
  double params_s = 0;
  double ready_s = 0;  // the node only: its ready line read
  double all() const { return files_s > params_s ? files_s : params_s; }
};

struct LoadResult {
  Load load;
  StartupFloor floor;
  std::vector<StartupTimes> node;   // the node onto an empty configs tree, each run
  std::vector<StartupTimes> other;  // the same with the program compared against, if any
  std::vector<StartupTimes> peers;  // the plain writer and the YAML loader started together
  double rss_mib = 0;               // the node's, after its last start-up
  double cpu_s = 0;                 // the node's time on CPU over its last start-up
  int held = 0;                     // "Holding back" lines of the node's start-ups
};

// `runs` start-ups of the node and of the peers, alternating, with the targets of `load`
// and its floor measured in between; throws when one does not finish within its deadline or
// leaves an item not in effect.
// With `other_node` (the path of another build of config_center), each run starts that one
// too, the same way, right after this one.
LoadResult MeasureLoad(const Load& load, int runs, const std::string& other_node = "");

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_STARTUP_STARTUP_RUNS_HPP_
