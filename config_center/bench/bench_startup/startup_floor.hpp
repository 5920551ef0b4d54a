#ifndef CONFIG_CENTER_BENCH_STARTUP_STARTUP_FLOOR_HPP_
#define CONFIG_CENTER_BENCH_STARTUP_STARTUP_FLOOR_HPP_

#include "bench_startup/startup_load.hpp"

namespace config_center::bench {

// What a start-up of a load cannot go below: the fsyncs its files need (one per file, one per
// directory) and one set_parameters round trip per node.
struct StartupFloor {
  double fsyncs_s = 0;       // the fsync calls alone, of as many files written beforehand
  double creates_s = 0;      // writing the same files before the fsyncs: created, written, closed
  double syncfs_s = 0;       // the same files flushed by one syncfs, then each directory fsync'd
  double round_trip_ms = 0;  // p50: one request with one node's parameters, service discovered
  // The same files put into place as the node must: each written under a hidden temporary
  // name beside its target, one syncfs, each renamed onto its target, each directory fsync'd;
  // all of it timed.
  double replaces_s = 0;
  double Seconds(const Load& load) const { return fsyncs_s + load.nodes() * round_trip_ms / 1000; }
  // The same with the files flushed together, as the node's start-up does.
  double FlushedTogether(const Load& load) const {
    return syncfs_s + load.nodes() * round_trip_ms / 1000;
  }
  // All a start-up into an empty tree must do: the files created and written, flushed
  // together, and one round trip per node.
  double WithCreation(const Load& load) const { return creates_s + FlushedTogether(load); }
  // And with each file renamed into place, so that no reader sees one half written: the
  // floor of a durable replacement of every file, and one round trip per node.
  double Replaced(const Load& load) const {
    return replaces_s + load.nodes() * round_trip_ms / 1000;
  }
};

// Measured now, on the configs filesystem and against a target node of its own (started and
// stopped here).
StartupFloor MeasureFloor(const Load& load);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_STARTUP_STARTUP_FLOOR_HPP_
