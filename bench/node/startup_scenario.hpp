#ifndef CONFIG_CENTER_BENCH_NODE_STARTUP_SCENARIO_HPP_
#define CONFIG_CENTER_BENCH_NODE_STARTUP_SCENARIO_HPP_

#include <memory>

#include "node/bench_clock.hpp"
#include "node/bench_items.hpp"
#include "support/process.hpp"

namespace config_center::bench {

struct StartUp {
  std::unique_ptr<test::Process> node;
  double seconds = 0;  // from the start of the process to its ready line being read
};

// Starts the installed node and waits for its ready line, at most `timeout`; throws when the
// node does not get ready.
StartUp StartNode(Clock::duration timeout);

// SIGTERM, and the node must exit 0 within 10 s; throws otherwise.
void StopNode(std::unique_ptr<test::Process>& node);

// A start-up only counts when it did the work: every file item holds its contents, and the
// latency target got its parameter. (The node itself fails its start-up when a parameter call
// fails, so the quiet targets need no check.) Throws otherwise.
void VerifyStartUp(const Items& items, test::Process& latency_target);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_STARTUP_SCENARIO_HPP_
