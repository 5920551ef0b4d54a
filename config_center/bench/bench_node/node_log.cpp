#include "bench_node/node_log.hpp"

#include <chrono>
#include <stdexcept>

namespace config_center::bench {

namespace {

// Enough of the log to see what the node did last; start-up alone logs thousands of lines.
std::string End(test::LogTail& log) {
  const std::string& text = log.Since();
  constexpr size_t kShown = 3000;
  return text.size() <= kShown ? text : "..." + text.substr(text.size() - kShown);
}

}  // namespace

void ExpectLogLine(test::LogTail& log, test::Process& node, const std::string& line) {
  if (log.Count(line) > 0 || log.WaitFor(line, std::chrono::seconds(5), node, nullptr)) return;
  throw std::runtime_error("the node's log does not say \"" + line + "\":\n" + End(log));
}

void ExpectNoLogLine(test::LogTail& log, const std::string& line, const std::string& why) {
  if (log.Count(line) == 0) return;
  throw std::runtime_error("the node's log says \"" + line + "\" " + why + ":\n" + End(log));
}

}  // namespace config_center::bench
