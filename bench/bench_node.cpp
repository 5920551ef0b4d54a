// bench_node: config_center as a user runs it, measured from outside. The installed node and
// param_target processes (from PATH) talk over DDS; the tables are in the isolated MariaDB;
// files land in /opt/velgar/configs. Run inside scripts/isolated.sh (scripts/bench.sh does).
//
// Prints one table: what was measured here, beside its target. Reference figures the targets
// depend on (a bare 1 kHz sleep loop, an fsync of a file and its directory) are measured in
// the same run. Exits non-zero only when a measurement could not be taken.
//
// The parts, under node/: the items loaded (bench_items), the start-ups (startup_scenario),
// the change rounds (latency_probes), the idle cost and its reference loops (idle_cost), the
// filesystem's own costs (filesystem_costs), one pass over all of them (node_pass), the DDS
// default discovery (loopback_multicast) and the table (bench_report).
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "node/bench_options.hpp"
#include "node/bench_report.hpp"
#include "node/filesystem_costs.hpp"
#include "node/idle_cost.hpp"
#include "node/loopback_multicast.hpp"
#include "node/node_pass.hpp"
#include "support/config_files.hpp"
#include "support/test_db.hpp"

namespace {

using config_center::bench::Options;

constexpr char kUsage[] =
    "usage: bench_node [--quick] [--rounds N] [--idle-seconds S]\n"
    "Measures the installed config_center with param_target nodes, the isolated MariaDB and\n"
    "real files. Full: 200 change rounds, 2000 file + 500 parameter items at start-up, 5 s\n"
    "idle. --quick: 20 rounds, 200 + 50 items, 1 s idle. Run inside scripts/isolated.sh.\n";

bool ParseCount(const std::string& text, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || parsed <= 0 || parsed > 1000000) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// False (after a message) on a bad argument. The reference loops never return.
bool ParseArguments(int argc, char** argv, Options* o, bool* help) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    bool ok = true;
    if (a == "--floor-loop") {
      config_center::bench::FloorLoop();
    } else if (a == "--poll-loop") {
      config_center::bench::PollLoop();
    } else if (a == "--help" || a == "-h") {
      *help = true;
    } else if (a == "--quick") {
      o->quick = true;
      o->rounds = 20;
      o->files = 200;
      o->params = 50;
      o->idle_seconds = 1.0;
      o->fsync_samples = 20;
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

std::string SelfPath() {
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot read /proc/self/exe");
  return std::string(self, static_cast<size_t>(n));
}

void Measure(const Options& o) {
  namespace bench = config_center::bench;
  using config_center::bench::Progress;
  using config_center::test::kConfigs;
  const std::string self = SelfPath();
  config_center::test::AdminDb db;
  Progress("fsync cost on " + std::string(kConfigs));
  const bench::FsyncCost fsync = bench::MeasureFsync(o.fsync_samples);
  Progress("file creation cost on " + std::string(kConfigs));
  const double first_creates_s = bench::MeasureCreates(o.files);
  const double later_creates_s = bench::MeasureCreates(o.files);

  bench::IdleCost idle;
  const std::string isolated_dds = "isolated.sh DDS";
  const bench::PassResult with_isolated = bench::RunPass(isolated_dds, db, o, self, &idle);

  // Cyclone's own defaults: the children get no CYCLONEDDS_URI.
  const char* uri = std::getenv("CYCLONEDDS_URI");
  const std::string saved_uri = uri != nullptr ? uri : "";
  ::unsetenv("CYCLONEDDS_URI");
  const std::string multicast_note = bench::LoopbackMulticast();
  const std::string default_dds = "Cyclone defaults";
  const bench::PassResult with_defaults = bench::RunPass(default_dds, db, o, self, nullptr);
  if (uri != nullptr) ::setenv("CYCLONEDDS_URI", saved_uri.c_str(), 1);
  db.ResetTables();
  config_center::test::RemoveConfigs();

  bench::Report report;
  report.AddIdle(idle);
  report.AddFilesystem(fsync, o.files, first_creates_s, later_creates_s);
  report.AddPass(isolated_dds, with_isolated, o, fsync.both_ms);
  report.AddPass(default_dds, with_defaults, o, fsync.both_ms);
  report.Print(o, multicast_note);
}

}  // namespace

int main(int argc, char** argv) {
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
    Measure(o);
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "bench_node: measurement failed: %s\n", error.what());
    return 1;
  }
  return 0;
}
