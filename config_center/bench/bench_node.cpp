// bench_node: config_center as a user runs it, measured from outside. The installed node and
// param_target processes (from PATH) talk over DDS; the tables are in the isolated MariaDB;
// files land in /opt/velgar/configs. Run inside scripts/isolated.sh (scripts/bench.sh does).
//
// Prints one table: what was measured here, beside its target, with the node learning of
// changes from the binary log and, in the same run, polling (its account may not read the
// binary log then). Reference figures the targets depend on (a bare rclcpp node, the server
// with no client, a bare 1 kHz sleep loop, an fsync of a file and its directory) are measured
// in the same run. Exits non-zero only when a measurement could not be taken.
//
// The parts, under node/: the items loaded (bench_items), the start-ups (startup_scenario),
// the change rounds (latency_probes), the idle cost (idle_cost) and the processes it is
// weighed against (reference_processes), the two ways of learning of changes
// (change_source), targets the node holds back (held_targets), the node's log lines
// (node_log), the filesystem's own costs (filesystem_costs), one pass over all of them
// (node_pass), the DDS default discovery (loopback_multicast) and the table (bench_report).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "bench_node/bench_options.hpp"
#include "bench_node/bench_report.hpp"
#include "bench_node/change_source.hpp"
#include "bench_node/filesystem_costs.hpp"
#include "bench_node/idle_cost.hpp"
#include "bench_node/latency_run.hpp"
#include "bench_node/loopback_multicast.hpp"
#include "bench_node/node_pass.hpp"
#include "bench_node/reference_processes.hpp"
#include "support/config_files.hpp"
#include "support/test_db.hpp"

namespace {

using config_center::bench::Options;

constexpr char kUsage[] =
    "usage: bench_node [--quick] [--rounds N] [--idle-seconds S]\n"
    "       bench_node --latency [--rounds N] [--blocks B] [--compare-with PROGRAM]...\n"
    "Measures the installed config_center with param_target nodes, the isolated MariaDB and\n"
    "real files. Full: 200 change rounds, 2000 file + 500 parameter items at start-up, 5 s\n"
    "idle. --quick: 20 rounds, 200 + 50 items, 1 s idle. Run inside scripts/isolated.sh.\n"
    "--latency: only a change's latency with the change feed up, beside its floors taken in\n"
    "the same rounds, and one transaction to 100 nodes; B blocks (3) of N changes (200) each,\n"
    "alternating with each PROGRAM (another build's config_center) given.\n";

bool ParseCount(const std::string& text, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || parsed <= 0 || parsed > 1000000) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// False (after a message) on a bad argument.
bool ParseArguments(int argc, char** argv, Options* o, bool* help) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    bool ok = true;
    if (a == "--help" || a == "-h") {
      *help = true;
    } else if (a == "--quick") {
      o->quick = true;
      o->rounds = 20;
      o->files = 200;
      o->params = 50;
      o->idle_seconds = 1.0;
      o->fsync_samples = 20;
    } else if (a == "--latency") {
      o->latency = true;
    } else if (a == "--blocks" && has_value) {
      ok = ParseCount(argv[++i], &o->blocks);
    } else if (a == "--compare-with" && has_value) {
      o->compare_with.emplace_back(argv[++i]);
    } else if (a == "--rounds" && has_value) {
      ok = ParseCount(argv[++i], &o->rounds);
    } else if (a == "--idle-seconds" && has_value) {
      char* end = nullptr;
      o->idle_seconds = std::strtod(argv[++i], &end);
      ok = *end == '\0' && o->idle_seconds > 0;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "bench_node: bad argument '%s'\n%s", a.c_str(), kUsage);
      return false;
    }
  }
  return true;
}

void Measure(const Options& o) {
  namespace bench = config_center::bench;
  using bench::ChangeSource;
  using bench::Progress;
  using config_center::test::kConfigs;
  Progress("fsync cost on " + std::string(kConfigs));
  const bench::FsyncCost fsync = bench::MeasureFsync(o.fsync_samples);
  Progress("file creation cost on " + std::string(kConfigs));
  const double first_creates_s = bench::MeasureCreates(o.files);
  const double later_creates_s = bench::MeasureCreates(o.files);

  bool binary_log = false;
  {
    config_center::test::AdminDb db;
    binary_log = bench::ServerWritesBinaryLog(db);
  }
  const std::vector<ChangeSource> sources =
      binary_log ? std::vector<ChangeSource>{ChangeSource::kFeed, ChangeSource::kPoll}
                 : std::vector<ChangeSource>{ChangeSource::kPoll};
  bench::Baselines baselines;
  const std::string isolated_dds = "isolated.sh DDS";
  const bench::PassResult with_isolated = bench::RunPass(isolated_dds, o, sources, &baselines);

  // Cyclone's own defaults: the children get no CYCLONEDDS_URI.
  const char* uri = std::getenv("CYCLONEDDS_URI");
  const std::string saved_uri = uri != nullptr ? uri : "";
  ::unsetenv("CYCLONEDDS_URI");
  const std::string multicast_note = bench::LoopbackMulticast();
  const std::string default_dds = "Cyclone defaults";
  const bench::PassResult with_defaults = bench::RunPass(default_dds, o, sources, nullptr);
  if (uri != nullptr) ::setenv("CYCLONEDDS_URI", saved_uri.c_str(), 1);
  {
    config_center::test::AdminDb db;
    db.ResetTables();
  }
  config_center::test::RemoveConfigs();

  bench::Report report;
  report.AddIdle(baselines, with_isolated.runs);
  report.AddFilesystem(fsync, o.files, first_creates_s, later_creates_s);
  report.AddPass(isolated_dds, with_isolated, o, fsync.both_ms);
  report.AddPass(default_dds, with_defaults, o, fsync.both_ms);
  report.AddNote(binary_log
                     ? "[feed]: the node follows the binary log. [poll]: its account may not read "
                       "it (REPLICATION SLAVE revoked),\nso it reads the change log every 1 ms. "
                       "The node's log said which before each run was measured."
                     : "The server writes no binary log: the node can only poll, so no [feed] "
                       "rows.\n[poll]: it reads the change log every 1 ms, as its log said "
                       "before each run was measured.");
  report.AddNote("Cyclone defaults: CYCLONEDDS_URI unset for the node and the targets; " +
                 multicast_note + ".");
  report.Print(o);
}

}  // namespace

int main(int argc, char** argv) {
  config_center::bench::RunReferenceIfAsked(argc, argv);
  Options o;
  bool help = false;
  if (!ParseArguments(argc, argv, &o, &help)) return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  const char* isolated = std::getenv("CONFIG_CENTER_ISOLATED");
  if (isolated == nullptr || std::string(isolated) != "inside") {
    std::fprintf(stderr, "bench_node: run it inside scripts/isolated.sh (see scripts/bench.sh)\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  try {
    if (o.latency) {
      rclcpp::init(0, nullptr);
      std::vector<std::string> programs{"config_center"};
      programs.insert(programs.end(), o.compare_with.begin(), o.compare_with.end());
      config_center::bench::RunLatencyComparison(o, programs);
      rclcpp::shutdown();
      return 0;
    }
    Measure(o);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "bench_node: measurement failed: %s\n", error.what());
    return 1;
  }
  return 0;
}
