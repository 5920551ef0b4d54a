#ifndef CONFIG_CENTER_BENCH_NODE_STARTUP_SCENARIO_HPP_
#define CONFIG_CENTER_BENCH_NODE_STARTUP_SCENARIO_HPP_

#include <memory>
#include <string>

#include "bench_node/bench_clock.hpp"
#include "bench_node/bench_items.hpp"
#include "support/log_tail.hpp"
#include "support/process.hpp"

namespace config_center::bench {

struct StartUp {
  std::unique_ptr<test::Process> node;
  std::unique_ptr<test::LogTail> log;  // the node's log from just before it started
  double seconds = 0;                  // from the start of the process to its ready line being read
};

// Starts the installed node (or `program`, another build of it) and waits for its ready
// line, at most `timeout`; throws when the node does not get ready.
StartUp StartNode(Clock::duration timeout, const std::string& program = "config_center");

// SIGTERM, and the node must exit 0 within 10 s; throws otherwise.
void StopNode(std::unique_ptr<test::Process>& node);

// A start-up only counts when it did the work: every file item holds its contents, the
// latency target got its parameter, which holds `latency_value` in the tables, and the node
// holds back no target (every call was answered). Throws otherwise.
void VerifyStartUp(StartUp& start, const Items& items, test::Process& latency_target,
                   const std::string& latency_value);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_STARTUP_SCENARIO_HPP_
