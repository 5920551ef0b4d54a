#ifndef CONFIG_CENTER_BENCH_NODE_CHANGE_SOURCE_HPP_
#define CONFIG_CENTER_BENCH_NODE_CHANGE_SOURCE_HPP_

#include <string>

#include "support/log_tail.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace config_center::bench {

// How the node learns of changes: from the server's binary log (the change feed), or by
// reading the change log every millisecond.
enum class ChangeSource { kFeed, kPoll };

// "feed" or "poll", for labels.
std::string Name(ChangeSource source);

// Whether the server writes a binary log, without which the node can only poll.
bool ServerWritesBinaryLog(test::AdminDb& db);

// Lets the node's own account read the binary log (REPLICATION SLAVE, as
// deploy/setup_robot.sh grants it) for kFeed, or takes that away for kPoll. A node started
// afterwards learns of changes that way.
void UseSource(test::AdminDb& db, ChangeSource source);

// Waits until the running node's log (since `log` was made) says it learns of changes that
// way; throws otherwise, or when it says the other way too.
void ExpectSource(test::LogTail& log, test::Process& node, ChangeSource source);

// Throws when the node's log says, anywhere since `log` was made, that it learnt of changes
// the other way for a while: a run's figures count only when it kept its source all along.
void ExpectSourceKept(test::LogTail& log, ChangeSource source);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_CHANGE_SOURCE_HPP_
