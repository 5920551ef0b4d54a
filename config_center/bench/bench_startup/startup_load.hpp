#ifndef CONFIG_CENTER_BENCH_STARTUP_STARTUP_LOAD_HPP_
#define CONFIG_CENTER_BENCH_STARTUP_STARTUP_LOAD_HPP_

#include <string>
#include <vector>

#include "support/test_db.hpp"

namespace config_center::bench {

// What a start-up has to put into effect: 1 KiB file items spread over directories, and
// parameter items spread over target nodes, which run `nodes_per_process` to a process.
struct Load {
  std::string label;  // names the row
  int files = 0;
  int directories = 20;
  int processes = 5;
  int nodes_per_process = 1;
  int params_per_node = 100;

  int nodes() const { return processes * nodes_per_process; }
  int params() const { return nodes() * params_per_node; }
  int items() const { return files + params(); }
};

// The i-th file item: its name under the configs directory and its contents.
std::string LoadFileName(const Load& load, int i);
std::string LoadFileContents(int i);
// The directories the file items go into, relative to the configs directory.
std::vector<std::string> LoadDirectories(const Load& load);

// The target node `n` of process `p` (as param_target names it with --nodes), without '/'.
std::string TargetBaseName(int p);
std::string TargetNodeName(const Load& load, int p, int n);
// The value of parameter `i` of every target.
std::string ParamValue(int i);

// Fresh tables holding `load` in global_config (in one transaction), fresh configs directory
// with the directories made (a user makes them beforehand) and no distribution record.
void LoadTables(test::AdminDb& db, const Load& load);

// One YAML parameter file per target node under `dir`, as `ros2 param dump` writes them and
// `ros2 param load` reads them; returns their paths.
std::vector<std::string> WriteParamFiles(const Load& load, const std::string& dir);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_STARTUP_STARTUP_LOAD_HPP_
