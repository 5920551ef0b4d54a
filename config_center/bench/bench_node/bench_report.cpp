#include "bench_node/bench_report.hpp"

#include <algorithm>
#include <cstdio>

#include "bench_node/bench_clock.hpp"
#include "bench_node/held_targets.hpp"
#include "support/percentile.hpp"

namespace config_center::bench {

namespace {

const Clock::time_point program_start = Clock::now();

// Below this share of a core an idle figure is too small for a ratio to mean much.
constexpr double kSmallShare = 0.3;

template <typename... Values>
std::string Format(const char* format, Values... values) {
  char text[160];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

// "measured (1.3x what)" for a share beside the one it is weighed against.
std::string ShareBeside(double share, double against, const char* what) {
  return against > 0 ? Format("%.3f %% (%.2fx %s)", share, share / against, what)
                     : Format("%.3f %%", share);
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

void Report::AddNote(const std::string& note) { notes_.push_back(note); }

void Report::AddIdle(const Baselines& b, const std::vector<SourceRun>& runs) {
  Reference("baseline: bare rclcpp node, no timer, CPU of one core",
            Format("%.3f %%", b.bare_node));
  Reference("baseline: MariaDB server, no client at all", Format("%.3f %%", b.server_alone));
  for (const SourceRun& run : runs) {
    if (!run.idle || !run.held) continue;
    if (run.source == ChangeSource::kFeed) {
      AddFeedIdle(run, b);
    } else {
      AddPollIdle(run, b);
    }
  }
  Reference("baseline: 1 kHz loop + one kept MAX(id) read per tick (no ROS)",
            Format("%.3f %%", b.poll_loop));
  Reference("  MariaDB server, CPU caused by that loop",
            Format("%.3f %%", b.server_with_poll_loop - b.server_alone));
}

void Report::AddFeedIdle(const SourceRun& run, const Baselines& b) {
  const IdleShares& idle = *run.idle;
  Target("[feed] idle node, CPU of one core", ShareBeside(idle.node, b.bare_node, "bare node"),
         Format("<= %.3f %% (2x bare node) or < %.1f %%", 2 * b.bare_node, kSmallShare),
         idle.node <= 2 * b.bare_node || idle.node < kSmallShare);
  Target("[feed] idle MariaDB server, CPU of one core",
         ShareBeside(idle.server, b.server_alone, "no client"),
         Format("<= %.3f %% (1.2x no client) or < %.1f %%", 1.2 * b.server_alone, kSmallShare),
         idle.server <= 1.2 * b.server_alone || idle.server < kSmallShare);
  AddHeld("[feed]", idle, *run.held);
}

void Report::AddPollIdle(const SourceRun& run, const Baselines& b) {
  const IdleShares& idle = *run.idle;
  Reference("[poll] floor: bare 1 kHz clock_nanosleep loop beside the node",
            Format("%.3f %%", idle.floor));
  Target("[poll] idle node, CPU of one core", Format("%.3f %%", idle.node),
         Format("<= %.3f %% (2x floor)", 2 * idle.floor), idle.node <= 2 * idle.floor);
  const double caused = idle.server - b.server_alone;
  Target("[poll] idle MariaDB server, CPU caused by the node",
         Format("%.3f %% (%.3f - %.3f)", caused, idle.server, b.server_alone),
         Format("<= %.3f %% (2x floor)", 2 * idle.floor), caused <= 2 * idle.floor);
  AddHeld("[poll]", idle, *run.held);
}

void Report::AddHeld(const std::string& tag, const IdleShares& plain, const IdleShares& held) {
  const auto row = [&](const std::string& what, double plain_share, double held_share) {
    const bool small = plain_share < kSmallShare;
    Target(tag + " " + what + ", 1 absent target + 1 unwritable file held",
           ShareBeside(held_share, plain_share, "plain"),
           Format("<= %.3f %% (1.2x plain)", 1.2 * plain_share) +
               (small ? Format(" or < %.1f %%", kSmallShare) : ""),
           held_share <= 1.2 * plain_share || (small && held_share < kSmallShare));
  };
  row("idle node", plain.node, held.node);
  row("idle MariaDB server", plain.server, held.server);
}

void Report::AddFilesystem(const FsyncCost& fsync, int files, double first_creates_s,
                           double later_creates_s) {
  Reference("fsync of a 1 KiB file + its directory on /opt/velgar/configs, p50",
            Format("%.3f ms (file %.3f + dir %.3f)", fsync.both_ms, fsync.file_ms, fsync.dir_ms));
  Reference("creating " + std::to_string(files) +
                " 1 KiB files in the fresh configs tree: first / second time",
            Format("%.3f s / %.3f s", first_creates_s, later_creates_s));
}

void Report::AddPass(const std::string& label, const PassResult& r, const Options& o,
                     double fsync_ms) {
  using test::Percentile;
  const std::string tag = " [" + label + "]";
  const std::string items =
      std::to_string(o.files) + " files + " + std::to_string(o.params) + " params";
  Target("start-up, " + items + " -> ready line" + tag, Format("%.3f s", r.first_start_s),
         "<= 1.0 s", r.first_start_s <= 1.0);
  Target("start-up again, nothing changed" + tag, Format("%.3f s", r.again_start_s), "<= 0.3 s",
         r.again_start_s <= 0.3);
  Target("resident memory (VmRSS) after the repeat start-up" + tag, Format("%.1f MiB", r.rss_mib),
         "<= 40 MiB", r.rss_mib <= 40.0);
  for (const SourceRun& run : r.runs) {
    const bool feed = run.source == ChangeSource::kFeed;
    const std::string run_tag = " [" + label + ", " + Name(run.source) + "]";
    const ChangeLatencies& l = run.latencies;
    Reference("commit of the UPDATE (autocommit), p50 / p99" + run_tag,
              Format("%.2f / %.2f ms", Percentile(l.commit_ms, 50), Percentile(l.commit_ms, 99)));
    // Learning from the binary log has to beat the 1 ms poll's own period.
    const double param_p50_limit = feed ? 0.6 : 1.5;
    const double param_p99_limit = feed ? 2.0 : 5.0;
    const double param_p50 = Percentile(l.param_ms, 50);
    const double param_p99 = Percentile(l.param_ms, 99);
    Target("change committed -> parameter at its node, p50 / p99" + run_tag,
           Format("%.3f / %.3f ms", param_p50, param_p99),
           Format("<= %.1f / <= %.0f ms", param_p50_limit, param_p99_limit),
           param_p50 <= param_p50_limit && param_p99 <= param_p99_limit);
    const double file_p50 = Percentile(l.file_ms, 50);
    const double file_base = feed ? 0.6 : 1.0;
    const double file_limit = file_base + fsync_ms;
    Target("change committed -> file renamed into place, p50" + run_tag,
           Format("%.3f ms", file_p50),
           Format("<= %.3f ms (%.1f ms + fsync)", file_limit, file_base), file_p50 <= file_limit);
  }
}

void Report::Print(const Options& o) const {
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
  std::printf(
      "CPU shares: time on CPU of every thread (/proc/<pid>/task/*/schedstat, ns) over wall\n"
      "time; each process measured in one window with what it is set beside. Held: a parameter\n"
      "item for a node that does not run and a file item whose directory is a regular file,\n"
      "measured %.0f s after the node held both.\n"
      "Latencies: from the commit's return to when this program read param_target's line or\n"
      "the file's rename (inotify).\n",
      static_cast<double>(kHeldSettle.count()));
  for (const std::string& note : notes_) std::printf("%s\n", note.c_str());
}

}  // namespace config_center::bench
