#ifndef CONFIG_CENTER_BENCH_STARTUP_IDLE_TURNS_HPP_
#define CONFIG_CENTER_BENCH_STARTUP_IDLE_TURNS_HPP_

#include <map>
#include <string>
#include <vector>

#include "bench_startup/startup_load.hpp"

namespace config_center::bench {

// One idle window of one node: the whole process's CPU share (% of one core) and wake-ups a
// second, the same per group of its threads (named by the thread's name; the main thread is
// "main", other threads without a name of their own "unnamed"), and the CPU share of the
// load's target processes together over the same window.
struct IdleWindow {
  double share = 0;
  double wakeups = 0;
  std::map<std::string, double> thread_share;
  std::map<std::string, double> thread_wakeups;
  double targets_share = 0;
};

// The windows of one program with one load's targets, one per round, in round order.
struct IdleSeries {
  Load load;
  std::string program;  // empty: the floor, a bare rclcpp node with no timer
  std::vector<IdleWindow> windows;
};

// `rounds` rounds; in each, every load in turn gets fresh tables and its target processes,
// and every program in turn (config_center builds) starts with them, finishes its start-up
// with no target held, settles for `settle_seconds` and is measured idle over `seconds`, then
// stops; then a bare rclcpp node with no timer (the floor: what the same graph costs a
// participant that does nothing) the same way. Taking the loads and programs in turn, round
// after round, lets the machine's other work weigh on each alike. Series: per load, one per
// program and the floor last. Progress (with each node's pid, for a profiler) on standard
// error.
// A start-up that held a target back is repeated (twice at most), counted in `repeated`.
// Throws when a node does not get ready, or holds a target back three times or while idle.
std::vector<IdleSeries> MeasureIdleInTurn(const std::vector<Load>& loads,
                                          std::vector<std::string> programs, int rounds,
                                          double seconds, double settle_seconds, int* repeated);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_STARTUP_IDLE_TURNS_HPP_
