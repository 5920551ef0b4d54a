#ifndef CONFIG_CENTER_BENCH_NODE_NODE_LOG_HPP_
#define CONFIG_CENTER_BENCH_NODE_NODE_LOG_HPP_

#include <string>

#include "support/log_tail.hpp"
#include "support/process.hpp"

namespace config_center::bench {

// Waits until the node's log, anywhere since `log` was made, holds `line` (lines about
// different targets come in any order); throws, quoting the end of the log, when it does not
// within 5 s or the node ends first.
void ExpectLogLine(test::LogTail& log, test::Process& node, const std::string& line);

// Throws, quoting the end of the log, when the log since `log` was made holds `line`.
void ExpectNoLogLine(test::LogTail& log, const std::string& line, const std::string& why);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_NODE_LOG_HPP_
