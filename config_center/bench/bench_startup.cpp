// bench_startup: config_center's start-up timed as a robot team waits for it, from the start
// of the node's process to the last item in effect (every file renamed into place, every
// parameter set at its node), seen from outside: target nodes (param_target) stamp when
// they took their last parameter, and an inotify watch stamps each file's arrival. Beside it,
// in the same run: its floor (one fsync per file and per directory, one set_parameters round
// trip per node, each measured here) and what a team would run without the node (a plain
// program writing and fsyncing the files, and a parameters client loading a YAML file per
// node as `ros2 param load` does, both started together and timed the same way).
//
// Loads: a robot (2,000 files of 1 KiB in 20 folders, 500 parameters over 5 nodes), a robot
// of 100 nodes in 4 processes (25 each, as component containers hold them; 20 parameters
// each, and the same files), and a curve of 1,000 / 10,000 / 50,000 items (four in five of
// them files, the rest parameters over 5 nodes), with its slope per item beside the floor's.
// Run inside scripts/isolated.sh (scripts/bench.sh does).
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_node/reference_processes.hpp"
#include "bench_startup/idle_turns.hpp"
#include "bench_startup/peers.hpp"
#include "bench_startup/set_aside.hpp"
#include "bench_startup/startup_runs.hpp"
#include "support/config_files.hpp"
#include "support/test_db.hpp"

namespace {

using config_center::bench::IdleSeries;
using config_center::bench::IdleWindow;
using config_center::bench::Load;
using config_center::bench::LoadResult;
using config_center::bench::StartupTimes;

constexpr char kUsage[] =
    "usage: bench_startup [--quick] [--runs N] [--no-curve] [--points N,...]\n"
    "                     [--compare-with PROGRAM]\n"
    "                     [--idle-rounds N] [--idle-seconds S] [--idle-only]\n"
    "Times config_center's start-up to the last item in effect, beside its floor and two\n"
    "peers measured in the same run. Full: 3 runs of each load, the curve up to 50,000\n"
    "items (one run a point). --quick: 1 run, small loads. --compare-with: another build of\n"
    "config_center started the same way in each run, right after this one (its rows are\n"
    "marked \"other\"). --points: only the curve, at these item counts (for example 50000,\n"
    "to profile one point), skipping the robot loads and the idle rounds, --runs times each\n"
    "(else once). Then the idle node with the robot's 5 targets against 100: in\n"
    "--idle-rounds rounds (5; --quick 1) each load and build in turn, one window of\n"
    "--idle-seconds (10; --quick 2) each. --idle-only: only that. Run inside\n"
    "scripts/isolated.sh.\n";

struct Options {
  bool quick = false;
  bool curve = true;
  std::vector<int> points;  // the curve's item counts, when given: only the curve is run
  std::string other;        // another build of config_center, run beside this one
  int runs = 3;
  int point_runs = 1;  // runs of each point of the curve: one unless --points and --runs
  bool idle_only = false;
  int idle_rounds = 5;
  double idle_seconds = 10;
  double idle_settle_seconds = 3;
};

Load Robot(bool quick) {
  Load load;
  load.label = "robot";
  load.files = quick ? 200 : 2000;
  load.params_per_node = quick ? 10 : 100;
  return load;
}

Load HundredNodes(bool quick) {
  Load load;
  load.label = quick ? "20 nodes" : "100 nodes";
  load.files = quick ? 200 : 2000;
  load.processes = 4;
  load.nodes_per_process = quick ? 5 : 25;
  load.params_per_node = quick ? 5 : 20;
  return load;
}

Load CurvePoint(int items) {
  Load load;
  load.label = std::to_string(items) + " items";
  load.files = items * 4 / 5;
  load.params_per_node = (items - load.files) / load.processes;
  return load;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

template <typename Value, typename Field>
std::vector<double> Each(const std::vector<Value>& runs, Field field) {
  std::vector<double> values;
  for (const Value& t : runs) values.push_back(field(t));
  return values;
}

// "0.812 s (0.790-0.840)" over the runs.
std::string Seconds(const std::vector<double>& values) {
  char text[96];
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  if (values.size() == 1) {
    std::snprintf(text, sizeof text, "%.3f s", values[0]);
  } else {
    std::snprintf(text, sizeof text, "%.3f s (%.3f-%.3f)", Median(values), *low, *high);
  }
  return text;
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void PrintRow(const std::string& figure, const std::string& measured, const std::string& target) {
  std::printf("| %s | %s | %s |\n", figure.c_str(), measured.c_str(), target.c_str());
}

void PrintLoad(const LoadResult& r, double target_s) {
  const Load& l = r.load;
  const double floor_s = r.floor.Seconds(l);
  const double limit = std::max(target_s, 1.3 * floor_s);
  const double all = Median(Each(r.node, [](const StartupTimes& t) { return t.all(); }));
  std::printf(
      "\n%s: %d files of 1 KiB in %d folders, %d parameters over %d nodes in %d "
      "processes (%d runs)\n\n",
      l.label.c_str(), l.files, l.directories, l.params(), l.nodes(), l.processes,
      static_cast<int>(r.node.size()));
  std::printf("| from the start of the process to ... | measured | target / floor |\n");
  std::printf("|---|---|---|\n");
  PrintRow("config_center: the last item in effect",
           Seconds(Each(r.node, [](const StartupTimes& t) { return t.all(); })),
           Format("%.2f s", target_s) + " or 1.3x the floor (" + Format("%.3f s", 1.3 * floor_s) +
               "): " + (all <= limit ? "within" : "not within") +
               Format(", %.2fx the floor", all / floor_s));
  PrintRow("config_center: the last file in place",
           Seconds(Each(r.node, [](const StartupTimes& t) { return t.files_s; })), "");
  PrintRow("config_center: the last parameter set at its node",
           Seconds(Each(r.node, [](const StartupTimes& t) { return t.params_s; })), "");
  PrintRow("config_center: its ready line read",
           Seconds(Each(r.node, [](const StartupTimes& t) { return t.ready_s; })), "");
  if (!r.other.empty()) {
    PrintRow(
        "other build: the last item in effect (last file; last parameter)",
        Seconds(Each(r.other, [](const StartupTimes& t) { return t.all(); })) + " (" +
            Seconds(Each(r.other, [](const StartupTimes& t) { return t.files_s; })) + "; " +
            Seconds(Each(r.other, [](const StartupTimes& t) { return t.params_s; })) + ")",
        Format("%.2fx the floor",
               Median(Each(r.other, [](const StartupTimes& t) { return t.all(); })) / floor_s));
  }
  PrintRow("peers: plain writer's last file fsync'd",
           Seconds(Each(r.peers, [](const StartupTimes& t) { return t.files_s; })), "");
  PrintRow("peers: YAML loader's last parameter set (as ros2 param load)",
           Seconds(Each(r.peers, [](const StartupTimes& t) { return t.params_s; })), "");
  PrintRow("peers: both, the last item in effect",
           Seconds(Each(r.peers, [](const StartupTimes& t) { return t.all(); })), "");
  PrintRow("floor: the fsyncs the files need + one round trip per node", Format("%.3f s", floor_s),
           Format("fsyncs of %.0f files and folders: ", l.files + l.directories) +
               Format("%.3f s; ", r.floor.fsyncs_s) + Format("%.0f x ", l.nodes()) +
               Format("%.3f ms", r.floor.round_trip_ms));
  PrintRow("floor with the files flushed together (one syncfs, as the node does)",
           Format("%.3f s", r.floor.FlushedTogether(l)),
           Format("syncfs and folders: %.3f s; ", r.floor.syncfs_s) +
               Format("config_center at %.2fx it", all / r.floor.FlushedTogether(l)));
  PrintRow("reference: creating and writing the files, not synced (what the filesystem charges)",
           Format("%.3f s", r.floor.creates_s), "");
  PrintRow("floor with the files created too (created, written, flushed together; round trips)",
           Format("%.3f s", r.floor.WithCreation(l)),
           Format("config_center at %.2fx it", all / r.floor.WithCreation(l)));
  PrintRow("floor with each file renamed into place (hidden temporary, syncfs, rename, folders)",
           Format("%.3f s", r.floor.Replaced(l)),
           Format("config_center at %.2fx it", all / r.floor.Replaced(l)));
  PrintRow("config_center: CPU time over its last start-up, resident memory after it",
           Format("%.3f s, ", r.cpu_s) + Format("%.1f MiB", r.rss_mib), "");
  PrintRow("config_center: targets held back at start-up (not answering within 1 s)",
           Format("%.0f over all runs", r.held), "");
}

void PrintCurve(const std::vector<LoadResult>& curve) {
  std::printf("\nThe curve: start-up to the last item in effect (four in five items files)\n\n");
  std::printf(
      "| items | config_center | other build | peers | floor | floor, files flushed together "
      "| the same with the files created | the same, each renamed into place |\n"
      "|---|---|---|---|---|---|---|---|\n");
  for (const LoadResult& r : curve) {
    const auto all = [](const StartupTimes& t) { return t.all(); };
    std::printf("| %d | %s | %s | %s | %.3f s | %.3f s | %.3f s | %.3f s |\n", r.load.items(),
                Seconds(Each(r.node, all)).c_str(),
                r.other.empty() ? "" : Seconds(Each(r.other, all)).c_str(),
                Seconds(Each(r.peers, all)).c_str(), r.floor.Seconds(r.load),
                r.floor.FlushedTogether(r.load), r.floor.WithCreation(r.load),
                r.floor.Replaced(r.load));
  }
  if (curve.size() < 2) return;  // a slope needs two points
  const LoadResult& first = curve.front();
  const LoadResult& last = curve.back();
  const double items = last.load.items() - first.load.items();
  auto slope = [&](const std::vector<StartupTimes>& a, const std::vector<StartupTimes>& b) {
    const auto all = [](const StartupTimes& t) { return t.all(); };
    return (Median(Each(b, all)) - Median(Each(a, all))) * 1e6 / items;
  };
  std::printf(
      "| slope per item | %.1f us | %s | %.1f us | %.1f us | %.1f us | %.1f us | %.1f us |\n",
      slope(first.node, last.node),
      first.other.empty() ? "" : Format("%.1f us", slope(first.other, last.other)).c_str(),
      slope(first.peers, last.peers),
      (last.floor.Seconds(last.load) - first.floor.Seconds(first.load)) * 1e6 / items,
      (last.floor.FlushedTogether(last.load) - first.floor.FlushedTogether(first.load)) * 1e6 /
          items,
      (last.floor.WithCreation(last.load) - first.floor.WithCreation(first.load)) * 1e6 / items,
      (last.floor.Replaced(last.load) - first.floor.Replaced(first.load)) * 1e6 / items);
}

double Share(const IdleWindow& w) { return w.share; }

// "0.078 % (0.070-0.090)" over the windows, from `field` of each.
template <typename Field>
std::string Shares(const IdleSeries& s, Field field, const char* format) {
  std::vector<double> values;
  for (const IdleWindow& w : s.windows) values.push_back(field(w));
  const auto [low, high] = std::minmax_element(values.begin(), values.end());
  std::string text = Format(format, Median(values));
  if (values.size() > 1) text += " (" + Format(format, *low) + "-" + Format(format, *high) + ")";
  return text;
}

std::string BuildName(const IdleSeries& s) {
  if (s.program.empty()) return "floor: bare rclcpp node";
  return s.program == "config_center" ? "this build" : "other build";
}

// The series as measured, per thread, and the ratio of the larger graph to the robot's per
// build and for the floor: `series` holds, per load, one series per build and the floor.
void PrintIdle(const std::vector<IdleSeries>& series, size_t builds, const Options& o) {
  const size_t per_load = builds + 1;
  std::printf(
      "\nIdle: the node after its start-up with each load's targets on the graph; %d round(s), "
      "in each every load\nand build in turn (fresh tables and targets per load), a window of "
      "%.0f s each, %.0f s after its ready\nline; medians over the windows (range)\n\n",
      o.idle_rounds, o.idle_seconds, o.idle_settle_seconds);
  std::printf(
      "| load | build | node: CPU of one core | node: wake-ups a second | the target processes "
      "together: CPU |\n|---|---|---|---|---|\n");
  for (const IdleSeries& s : series) {
    std::printf("| %s | %s | %s | %s | %s |\n", s.load.label.c_str(), BuildName(s).c_str(),
                Shares(
                    s, [](const IdleWindow& w) { return w.share; }, "%.3f %%")
                    .c_str(),
                Shares(
                    s, [](const IdleWindow& w) { return w.wakeups; }, "%.1f")
                    .c_str(),
                Shares(
                    s, [](const IdleWindow& w) { return w.targets_share; }, "%.3f %%")
                    .c_str());
  }
  std::set<std::string> groups;
  for (const IdleSeries& s : series) {
    for (const IdleWindow& w : s.windows) {
      for (const auto& [group, share] : w.thread_share) groups.insert(group);
    }
  }
  std::printf(
      "\nPer thread of the node: CPU of one core / wake-ups a second, medians\n\n| thread |");
  for (const IdleSeries& s : series) {
    std::printf(" %s, %s |", s.load.label.c_str(), BuildName(s).c_str());
  }
  std::printf("\n|---|");
  for (size_t i = 0; i < series.size(); ++i) std::printf("---|");
  std::printf("\n");
  for (const std::string& group : groups) {
    std::printf("| %s |", group.c_str());
    for (const IdleSeries& s : series) {
      const auto of = [&group](const std::map<std::string, double>& m) {
        const auto found = m.find(group);
        return found == m.end() ? 0.0 : found->second;
      };
      std::printf(" %s / %s |",
                  Shares(
                      s, [&](const IdleWindow& w) { return of(w.thread_share); }, "%.3f %%")
                      .c_str(),
                  Shares(
                      s, [&](const IdleWindow& w) { return of(w.thread_wakeups); }, "%.1f")
                      .c_str());
    }
    std::printf("\n");
  }
  // The graph watch must not grow with nodes times time.
  for (size_t b = 0; b < per_load; ++b) {
    const IdleSeries& small = series[b];
    const IdleSeries& large = series[per_load + b];
    std::vector<double> ratios;
    for (size_t r = 0; r < small.windows.size() && r < large.windows.size(); ++r) {
      ratios.push_back(large.windows[r].share / small.windows[r].share);
    }
    const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    const double ratio = Median(ratios);
    // The target is the node's; the floor's ratio is what the larger graph costs anyone.
    const std::string target = small.program.empty() ? ""
                               : ratio <= 1.2        ? " (target 1.2x: met)"
                                                     : " (target 1.2x: not met)";
    std::printf(
        "\nidle with %d nodes on the graph against %d, %s: %.2fx, median of the rounds' ratios "
        "(%.2f-%.2f)%s\n",
        large.load.nodes(), small.load.nodes(), BuildName(small).c_str(), ratio, *low, *high,
        target.c_str());
  }
  for (size_t b = 0; b < builds; ++b) {
    std::printf(
        "%s beside the floor: %.2fx with %d nodes, %.2fx with %d\n", BuildName(series[b]).c_str(),
        Median(Each(series[b].windows, Share)) / Median(Each(series[builds].windows, Share)),
        series[b].load.nodes(),
        Median(Each(series[per_load + b].windows, Share)) /
            Median(Each(series[per_load + builds].windows, Share)),
        series[per_load + b].load.nodes());
  }
}

// The machine's load average over the last minute, from /proc/loadavg.
std::string LoadAverage() {
  std::FILE* file = std::fopen("/proc/loadavg", "r");
  double one = 0;
  const bool read = file != nullptr && std::fscanf(file, "%lf", &one) == 1;
  if (file != nullptr) std::fclose(file);
  return read ? Format("%.1f", one) : "unknown";
}

// "1000,50000" -> {1000, 50000}; each from 10 to 1,000,000 items.
bool ParsePoints(const std::string& text, std::vector<int>* points) {
  points->clear();
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string field = text.substr(at, comma - at);
    char* end = nullptr;
    const long items = std::strtol(field.c_str(), &end, 10);
    if (field.empty() || *end != '\0' || items < 10 || items > 1000000) {
      std::fprintf(stderr, "bench_startup: bad --points '%s'\n%s", text.c_str(), kUsage);
      return false;
    }
    points->push_back(static_cast<int>(items));
    at = comma + 1;
  }
  return true;
}

bool ParseArguments(int argc, char** argv, Options* o, bool* help) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      *help = true;
    } else if (a == "--quick") {
      o->quick = true;
      o->runs = 1;
      o->idle_rounds = 1;
      o->idle_seconds = 2;
      o->idle_settle_seconds = 1;
    } else if (a == "--compare-with" && i + 1 < argc) {
      o->other = argv[++i];
    } else if (a == "--idle-only") {
      o->idle_only = true;
    } else if (a == "--idle-rounds" && i + 1 < argc) {
      o->idle_rounds = std::atoi(argv[++i]);
      if (o->idle_rounds < 1 || o->idle_rounds > 100) return false;
    } else if (a == "--idle-seconds" && i + 1 < argc) {
      o->idle_seconds = std::atof(argv[++i]);
      if (!(o->idle_seconds > 0 && o->idle_seconds <= 600)) return false;
    } else if (a == "--no-curve") {
      o->curve = false;
    } else if (a == "--points" && i + 1 < argc) {
      if (!ParsePoints(argv[++i], &o->points)) return false;
    } else if (a == "--runs" && i + 1 < argc) {
      o->runs = std::atoi(argv[++i]);
      o->point_runs = o->runs;
      if (o->runs < 1 || o->runs > 100) return false;
    } else {
      std::fprintf(stderr, "bench_startup: bad argument '%s'\n%s", a.c_str(), kUsage);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  config_center::bench::RunReferenceIfAsked(argc, argv);
  config_center::bench::RunPeerIfAsked(argc, argv);
  Options o;
  bool help = false;
  if (!ParseArguments(argc, argv, &o, &help)) return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const char* isolated = std::getenv("CONFIG_CENTER_ISOLATED");
  if (isolated == nullptr || std::string(isolated) != "inside") {
    std::fprintf(stderr,
                 "bench_startup: run it inside scripts/isolated.sh (see scripts/bench.sh)\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  namespace bench = config_center::bench;
  try {
    std::printf(
        "bench_startup: config_center's start-up to the last item in effect, on this machine, "
        "beside its floor and peers measured in the same run (load average %s at the start)\n",
        LoadAverage().c_str());
    // Each table as soon as it is measured: the curve takes minutes.
    const bool loads = o.points.empty() && !o.idle_only;
    if (loads) {
      PrintLoad(bench::MeasureLoad(Robot(o.quick), o.runs, o.other), 0.5);
      std::fflush(stdout);
      PrintLoad(bench::MeasureLoad(HundredNodes(o.quick), o.runs, o.other), 1.0);
      std::fflush(stdout);
    }
    if (o.points.empty()) {
      std::vector<std::string> builds{"config_center"};
      if (!o.other.empty()) builds.push_back(o.other);
      int repeated = 0;
      PrintIdle(
          bench::MeasureIdleInTurn({Robot(o.quick), HundredNodes(o.quick)}, builds, o.idle_rounds,
                                   o.idle_seconds, o.idle_settle_seconds, &repeated),
          builds.size(), o);
      std::printf("start-ups repeated because one held a target back (not idle): %d\n", repeated);
      std::fflush(stdout);
    }
    if ((o.curve && loads) || !o.points.empty()) {
      std::vector<LoadResult> curve;
      std::vector<int> points =
          o.quick ? std::vector<int>{250, 1000} : std::vector<int>{1000, 10000, 50000};
      if (!o.points.empty()) points = o.points;
      // One run each unless asked for one point: the largest takes minutes.
      const int runs = o.points.empty() ? 1 : o.point_runs;
      for (const int items : points) {
        curve.push_back(bench::MeasureLoad(CurvePoint(items), runs, o.other));
      }
      PrintCurve(curve);
    }
    {
      config_center::test::AdminDb db;
      db.ResetTables();
    }
    config_center::test::RemoveConfigs();
    bench::RemoveSetAside();
    std::printf("\n(load average %s at the end)\n", LoadAverage().c_str());
    if (!o.idle_only) {
      std::printf(
          "\nTimes run from just before the process was started. A file is in effect when the "
          "watch read its rename\n(the node) or its close after writing (the plain writer); a "
          "parameter when its node took it (stamped there\non CLOCK_MONOTONIC). The node writes "
          "into an empty tree each run: the last run's files\nare moved aside, not deleted (a "
          "recently deleted inode slows each file created after it). The YAML\nloader runs the "
          "nodes one after another in one process, as ros2 param load would per node without\n"
          "Python's start-up. Medians over the runs, with their range.\n");
    }
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "bench_startup: measurement failed: %s\n", error.what());
    return 1;
  }
  return 0;
}
