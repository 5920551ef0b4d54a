#include "bench_node/change_source.hpp"

#include <string>
#include <vector>

#include "bench_node/node_log.hpp"
#include "support/node_account.hpp"

namespace config_center::bench {

namespace {

constexpr char kFeedUp[] = "Learning of changes from the binary log (change feed up)";
constexpr char kPolling[] = "reading the change log every 1 ms";
constexpr char kFeedDown[] = "Change feed down";
constexpr char kFeedFell[] = "Change feed was down";

// The node's own account, as deploy/setup_robot.sh creates it (scripts/isolated.sh runs it).
std::vector<std::string> NodeAccounts() {
  const std::string user = test::InstalledNodeAccount().user;
  return {"'" + user + "'@'127.0.0.1'", "'" + user + "'@'localhost'"};
}

}  // namespace

std::string Name(ChangeSource source) { return source == ChangeSource::kFeed ? "feed" : "poll"; }

bool ServerWritesBinaryLog(test::AdminDb& db) {
  return db.Scalar("SELECT @@global.log_bin") == "1";
}

void UseSource(test::AdminDb& db, ChangeSource source) {
  for (const std::string& account : NodeAccounts()) {
    db.Exec(source == ChangeSource::kFeed
                ? std::string("GRANT REPLICATION SLAVE ON *.* TO ") + account
                : std::string("REVOKE REPLICATION SLAVE ON *.* FROM ") + account);
  }
}

void ExpectSource(test::LogTail& log, test::Process& node, ChangeSource source) {
  ExpectLogLine(log, node, source == ChangeSource::kFeed ? kFeedUp : kPolling);
  ExpectSourceKept(log, source);
}

void ExpectSourceKept(test::LogTail& log, ChangeSource source) {
  const std::string why = "in the " + Name(source) + " run";
  if (source == ChangeSource::kFeed) {
    ExpectNoLogLine(log, kFeedDown, why);
    ExpectNoLogLine(log, kFeedFell, why);
  } else {
    ExpectNoLogLine(log, kFeedUp, why);
  }
}

}  // namespace config_center::bench
