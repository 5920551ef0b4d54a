#include "node/bench_report.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "node/bench_clock.hpp"
#include "support/percentile.hpp"

namespace config_center::bench {

namespace {

const Clock::time_point program_start = Clock::now();

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

void Progress(const std::string& text) {
  std::fprintf(stderr, "bench_node: %6.1f s  %s\n", Seconds(Clock::now() - program_start),
               text.c_str());
}

void Report::Reference(const std::string& figure, const std::string& measured) {
  rows_.push_back({figure, measured, "(reference)", ""});
}

void Report::Target(const std::string& figure, const std::string& measured,
                    const std::string& target, bool within) {
  rows_.push_back({figure, measured, target, within ? "yes" : "no"});
}

void Report::AddIdle(const IdleCost& idle) {
  Reference("floor: bare 1 kHz clock_nanosleep loop, CPU of one core",
            Format("%.2f %%", idle.floor));
  Target("idle node, CPU of one core", Format("%.2f %%", idle.node),
         Format("<= %.2f %% (2x floor)", 2 * idle.floor), idle.node <= 2 * idle.floor);
  const double caused = idle.mariadb_with - idle.mariadb_without;
  Target("idle MariaDB server, CPU caused by the node",
         Format("%.2f %%", caused) + Format(" (%.2f", idle.mariadb_with) +
             Format(" - %.2f)", idle.mariadb_without),
         Format("<= %.2f %% (2x floor)", 2 * idle.floor), caused <= 2 * idle.floor);
  Reference("  bare 1 kHz loop + one kept MAX(id) read per tick (no ROS), CPU of one core",
            Format("%.2f %%", idle.poll_loop));
  Reference("  idle MariaDB server, CPU caused by that loop",
            Format("%.2f %%", idle.mariadb_with_poll_loop - idle.mariadb_without));
}

void Report::AddFilesystem(const FsyncCost& fsync, int files, double first_creates_s,
                           double later_creates_s) {
  Reference("fsync of a 1 KiB file + its directory on /opt/velgar/configs, p50",
            Format("%.3f ms", fsync.both_ms) + Format(" (file %.3f", fsync.file_ms) +
                Format(" + dir %.3f)", fsync.dir_ms));
  Reference("creating " + std::to_string(files) +
                " 1 KiB files in the fresh configs tree: first / second time",
            Format("%.3f s", first_creates_s) + Format(" / %.3f s", later_creates_s));
}

void Report::AddPass(const std::string& label, const PassResult& r, const Options& o,
                     double fsync_ms) {
  using test::Percentile;
  const std::string tag = " [" + label + "]";
  const ChangeLatencies& l = r.latencies;
  Reference("commit of the UPDATE (autocommit), p50 / p99" + tag,
            Format("%.2f", Percentile(l.commit_ms, 50)) + " / " +
                Format("%.2f ms", Percentile(l.commit_ms, 99)));
  const double param_p50 = Percentile(l.param_ms, 50);
  const double param_p99 = Percentile(l.param_ms, 99);
  Target("change committed -> parameter at its node, p50 / p99" + tag,
         Format("%.3f", param_p50) + " / " + Format("%.3f ms", param_p99), "<= 1.5 / <= 5 ms",
         param_p50 <= 1.5 && param_p99 <= 5.0);
  const double file_p50 = Percentile(l.file_ms, 50);
  const double file_limit = 1.0 + fsync_ms;
  Target("change committed -> file renamed into place, p50" + tag, Format("%.3f ms", file_p50),
         Format("<= %.3f ms (1 ms + fsync)", file_limit), file_p50 <= file_limit);
  const std::string items =
      std::to_string(o.files) + " files + " + std::to_string(o.params) + " params";
  Target("start-up, " + items + " -> ready line" + tag, Format("%.3f s", r.first_start_s),
         "<= 1.0 s", r.first_start_s <= 1.0);
  Target("start-up again, nothing changed" + tag, Format("%.3f s", r.again_start_s), "<= 0.3 s",
         r.again_start_s <= 0.3);
  Target("resident memory (VmRSS) after the repeat start-up" + tag, Format("%.1f MiB", r.rss_mib),
         "<= 40 MiB", r.rss_mib <= 40.0);
}

void Report::Print(const Options& o, const std::string& multicast_note) const {
  std::printf("config_center measured from outside (%s: %d change rounds, %.1f s idle windows)\n",
              o.quick ? "quick" : "full", o.rounds, o.idle_seconds);
  size_t widths[4] = {6, 13, 6, 6};
  for (const Row& row : rows_) {
    widths[0] = std::max(widths[0], row.figure.size());
    widths[1] = std::max(widths[1], row.measured.size());
    widths[2] = std::max(widths[2], row.target.size());
  }
  auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                  const std::string& d) {
    std::printf("| %-*s | %-*s | %-*s | %-*s |\n", static_cast<int>(widths[0]), a.c_str(),
                static_cast<int>(widths[1]), b.c_str(), static_cast<int>(widths[2]), c.c_str(),
                static_cast<int>(widths[3]), d.c_str());
  };
  line("figure", "measured here", "target", "within");
  line(std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'),
       std::string(widths[3], '-'));
  for (const Row& row : rows_) line(row.figure, row.measured, row.target, row.within);
  // utime and stime come in whole ticks: each share may be off by one tick per window.
  const double tick_share = 100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) / o.idle_seconds;
  std::printf(
      "CPU shares: /proc/<pid>/stat utime+stime over wall time, +-%.2f %% (one tick in %.1f s).\n"
      "Latencies: from the commit's return to when this program read param_target's line or\n"
      "the file's rename (inotify). Cyclone defaults: CYCLONEDDS_URI unset for the node and\n"
      "the targets; %s.\n",
      tick_share, o.idle_seconds, multicast_note.c_str());
}

}  // namespace config_center::bench
