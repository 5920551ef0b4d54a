#ifndef CONFIG_CENTER_BENCH_NODE_BENCH_REPORT_HPP_
#define CONFIG_CENTER_BENCH_NODE_BENCH_REPORT_HPP_

#include <string>
#include <vector>

#include "bench_node/bench_options.hpp"
#include "bench_node/filesystem_costs.hpp"
#include "bench_node/idle_cost.hpp"
#include "bench_node/node_pass.hpp"

namespace config_center::bench {

// What bench_node prints: progress lines on standard error while it runs, then one table on
// standard output of what was measured here, each figure beside its target or marked as a
// reference.
class Report {
public:
  // The baselines, then the idle rows of each run that measured them, beside them.
  void AddIdle(const Baselines& baselines, const std::vector<SourceRun>& runs);
  void AddFilesystem(const FsyncCost& fsync, int files, double first_creates_s,
                     double later_creates_s);
  // The rows of one pass, tagged with its `label`: its start-ups, then each run's change
  // latencies (the file latency's target counts the fsync cost measured in the same run).
  void AddPass(const std::string& label, const PassResult& r, const Options& o, double fsync_ms);
  // A line under the table.
  void AddNote(const std::string& note);

  // The heading, the table and what the figures mean.
  void Print(const Options& o) const;

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
  void AddFeedIdle(const SourceRun& run, const Baselines& b);
  void AddPollIdle(const SourceRun& run, const Baselines& b);
  void AddHeld(const std::string& tag, const IdleShares& plain, const IdleShares& held);

  std::vector<Row> rows_;
  std::vector<std::string> notes_;
};

// A progress line on standard error, with the seconds since the program started.
void Progress(const std::string& text);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_BENCH_REPORT_HPP_
