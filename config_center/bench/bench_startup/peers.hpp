#ifndef CONFIG_CENTER_BENCH_STARTUP_PEERS_HPP_
#define CONFIG_CENTER_BENCH_STARTUP_PEERS_HPP_

#include <memory>
#include <string>
#include <vector>

#include "bench_startup/startup_load.hpp"
#include "support/process.hpp"

namespace config_center::bench {

// What a team would run without the node, and the floor's parameter round trip, each a
// process of its own: this program started again with one of the arguments below.

// Writes every file item of `load` as a plain program would: each file opened at its place,
// written, fsync'd and closed, then each directory fsync'd once. Exits 0 when all went well.
std::unique_ptr<test::Process> StartFileWriter(const Load& load);

// Loads each YAML file into its node as `ros2 param load` does: the file's parameters for
// the node, a client of its set_parameters service, a wait for the service, one request
// with them all; the files one after another in one process. Exits 0 when every node
// answered.
std::unique_ptr<test::Process> StartParamLoader(const std::vector<std::string>& yaml_files);

// Sends `count` set_parameters requests of `params` string parameters each to `node` once
// its service is there (after a few unmeasured ones), one at a time, and prints
// "p50_ms=X" with the median round trip.
std::unique_ptr<test::Process> StartRoundTrips(const std::string& node, int params, int count);
// Reads that line; throws when the process did not print it in 30 s.
double RoundTripMs(test::Process& process);

// For main, first thing: when the arguments ask for one of the processes above, runs it
// (it never returns); otherwise does nothing.
void RunPeerIfAsked(int argc, char** argv);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_STARTUP_PEERS_HPP_
