#ifndef CONFIG_CENTER_BENCH_NODE_BENCH_REPORT_HPP_
#define CONFIG_CENTER_BENCH_NODE_BENCH_REPORT_HPP_

#include <string>
#include <vector>

#include "node/bench_options.hpp"
#include "node/filesystem_costs.hpp"
#include "node/idle_cost.hpp"
#include "node/node_pass.hpp"

namespace config_center::bench {

// What bench_node prints: progress lines on standard error while it runs, then one table on
// standard output of what was measured here, each figure beside its target or marked as a
// reference.
class Report {
public:
  // The idle rows and the filesystem's reference figures.
  void AddIdle(const IdleCost& idle);
  void AddFilesystem(const FsyncCost& fsync, int files, double first_creates_s,
                     double later_creates_s);
  // The rows of one pass, tagged with its `label`; the file latency's target is 1 ms plus
  // the fsync cost measured in the same run.
  void AddPass(const std::string& label, const PassResult& r, const Options& o, double fsync_ms);

  // The heading, the table and what the figures mean.
  void Print(const Options& o, const std::string& multicast_note) const;

private:
  struct Row {
    std::string figure;
    std::string measured;
    std::string target;
    std::string within;  // "yes", "no", or "" for a reference figure
  };
  void Reference(const std::string& figure, const std::string& measured);
  void Target(const std::string& figure, const std::string& measured, const std::string& target,
              bool within);

  std::vector<Row> rows_;
};

// A progress line on standard error, with the seconds since the program started.
void Progress(const std::string& text);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_BENCH_REPORT_HPP_
