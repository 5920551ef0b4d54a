#ifndef CONFIG_CENTER_BENCH_NODE_REFERENCE_PROCESSES_HPP_
#define CONFIG_CENTER_BENCH_NODE_REFERENCE_PROCESSES_HPP_

#include <time.h>

#include <memory>
#include <string>

#include "support/process.hpp"

namespace config_center::bench {

// What an idle figure is weighed against, each a process of its own: the benchmark program
// started again with `--reference NAME`, which dies with its parent.
enum class Reference {
  kFloorLoop,  // wakes every millisecond and does nothing else
  kPollLoop,   // the same, reading the change-log maximum each time (the node's kept
               // statement, over the node's connection code; no ROS)
  kBareNode,   // an rclcpp node with no timer, spinning a single-threaded executor
};

// This program's own path, for starting it again as a child.
std::string SelfPath();

// Starts `which` and returns once it runs; throws when it does not within 10 s.
std::unique_ptr<test::Process> StartReference(Reference which);

// Stops a reference process and waits for it. SIGINT: a node stopped so leaves the ROS graph
// at once, while a killed one stays on it until its DDS lease ends, which the nodes still
// running would notice in a later window.
void StopReference(std::unique_ptr<test::Process>& process);

// For main, first thing: when the arguments ask for a reference process, runs it (it never
// returns); otherwise does nothing.
void RunReferenceIfAsked(int argc, char** argv);

// Wakes once a millisecond on the monotonic clock, without drift.
class MillisecondTicks {
public:
  MillisecondTicks();
  // Sleeps until one millisecond after the previous tick.
  void Next();

private:
  timespec next_{};
};

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_REFERENCE_PROCESSES_HPP_
