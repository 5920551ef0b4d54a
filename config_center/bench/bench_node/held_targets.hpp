#ifndef CONFIG_CENTER_BENCH_NODE_HELD_TARGETS_HPP_
#define CONFIG_CENTER_BENCH_NODE_HELD_TARGETS_HPP_

#include <chrono>
#include <cstdint>
#include <string>

#include "support/log_tail.hpp"
#include "support/process.hpp"

namespace config_center::bench {

// The node retries a held target at growing intervals up to a second: an idle window opens
// this long after both were held, once the retries have reached that pace.
constexpr std::chrono::seconds kHeldSettle{2};

// Two targets the running node cannot serve, for its idle cost while it holds them: a
// parameter item for a node that does not run, and a file item whose directory is taken by
// a regular file. Each connects to the database only while it changes the tables.
class HeldTargets {
public:
  // Adds both items, their names ending in `tag`, and waits until the node's log holds both
  // back; throws otherwise.
  HeldTargets(const std::string& tag, test::LogTail& log, test::Process& node);

  // Mends both (the absent node started, the blocking file removed) and waits until the node
  // has released and delivered them; then deletes both items and waits until they are
  // withdrawn (the directory the node made for the file stays: it never removes one). Throws
  // when any of that does not happen.
  void Release(test::LogTail& log, test::Process& node);

private:
  std::string node_name_;
  std::string blocker_;  // the regular file where the file item's directory belongs
  std::string file_name_;
  int64_t param_id_ = 0;
  int64_t file_id_ = 0;
};

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_HELD_TARGETS_HPP_
