// The change feed in-process against the isolated MariaDB: what wakes it, what keeps it down,
// how it comes back, and how fast it stops. Tests that need the binary log skip when the
// environment runs without one (CONFIG_CENTER_BINLOG=off); the feed then has to say so.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/node_account.hpp"
#include "support/test_db.hpp"
#include "tracking/change_feed.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Counts wake-ups and keeps every status the feed reported with one, so a test can wait for
// either and see the way the feed went.
class Recorder {
public:
  void Wake(const ChangeFeed* feed) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakes_;
    if (feed != nullptr) {
      FeedStatus status = feed->Status();
      if (history_.empty() || history_.back().changes != status.changes) {
        history_.push_back(std::move(status));
      }
    }
    changed_.notify_all();
  }
  int Wakes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakes_;
  }
  bool WaitForWakes(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return wakes_ >= count; });
  }
  bool WaitForStatus(const std::function<bool(const FeedStatus&)>& wanted,
                     std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return !history_.empty() && wanted(history_.back()); });
  }
  // For a new feed: its statuses count afresh.
  void ForgetHistory() {
    std::lock_guard<std::mutex> lock(mutex_);
    history_.clear();
  }
  bool Saw(FeedDownReason reason) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& status : history_) {
      if (!status.up && status.reason == reason) return true;
    }
    return false;
  }
  std::string History() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto& status : history_) text += DescribeFeedStatus(status) + "; ";
    return text;
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int wakes_ = 0;
  std::vector<FeedStatus> history_;
};

bool IsUp(const FeedStatus& status) { return status.up; }

// The node's own account (the public one may not read the binary log).
ChangeFeed::Options QuickRetries() {
  ChangeFeed::Options options;
  options.account = test::InstalledNodeAccount();
  options.first_retry = 20ms;
  options.longest_retry = 200ms;
  options.settings_retry = 100ms;
  return options;
}

// Starts the server again when a test ends, so one failure does not take the rest along.
struct ServerBackAtEnd {
  ~ServerBackAtEnd() {
    std::system("mariadb-admin --socket=/run/mysqld/mysqld.sock ping >/dev/null 2>&1 || db-start");
  }
};

class ChangeFeedTest : public ::testing::Test {
protected:
  void SetUp() override {
    admin_.ResetTables();
    binlog_ = admin_.Scalar("SELECT @@global.log_bin") == "1";
  }

  // A feed that reports to recorder_; started.
  std::unique_ptr<ChangeFeed> StartFeed(const ChangeFeed::Options& options = QuickRetries()) {
    recorder_.ForgetHistory();
    // The wake-up needs the feed it belongs to, which exists only after the constructor.
    auto slot = std::make_shared<const ChangeFeed*>(nullptr);
    auto feed = std::make_unique<ChangeFeed>([this, slot] { recorder_.Wake(*slot); }, options);
    *slot = feed.get();
    feed->Start();
    return feed;
  }
  std::unique_ptr<ChangeFeed> StartFeedUp() {
    auto feed = StartFeed();
    EXPECT_TRUE(recorder_.WaitForStatus(IsUp, 5s)) << recorder_.History();
    return feed;
  }

  // A commit that writes the change log; returns once the feed woke for it.
  void CommitMarker(const std::string& name = "marker") {
    const int before = recorder_.Wakes();
    admin_.InsertItem("global_config", name, "1", "n", 1);
    ASSERT_TRUE(recorder_.WaitForWakes(before + 1, 5s)) << "no wake for the marker";
  }

  std::string DumpThreadId() {
    return admin_
        .Scalar(
            "SELECT id FROM information_schema.processlist WHERE command = 'Binlog Dump' "
            "AND user = '" +
            test::InstalledNodeAccount().user + "' ORDER BY id DESC LIMIT 1")
        .value_or("");
  }

  test::AdminDb admin_;
  bool binlog_ = false;
  Recorder recorder_;
};

#define SKIP_WITHOUT_BINLOG() \
  if (!binlog_) GTEST_SKIP() << "the server runs without a binary log"

TEST_F(ChangeFeedTest, WakesOnceForEachCommitThatWritesTheChangeLog) {
  SKIP_WITHOUT_BINLOG();
  auto feed = StartFeedUp();
  const int up = recorder_.Wakes();

  admin_.InsertItem("global_config", "speed", "1", "arm", 1);
  ASSERT_TRUE(recorder_.WaitForWakes(up + 1, 5s));

  // One transaction, three change-log rows (and an update and a withdrawal): one wake-up.
  admin_.Exec("BEGIN");
  admin_.InsertItem("custom_config", "rate", "2", "arm", 1);
  admin_.Exec("UPDATE global_config SET value = '3' WHERE name = 'speed'");
  admin_.Exec("UPDATE custom_config SET deleted = 1 WHERE name = 'rate'");
  admin_.Exec("COMMIT");
  ASSERT_TRUE(recorder_.WaitForWakes(up + 2, 5s));

  // A truncated change log (the node has to start over) wakes too.
  admin_.Exec("TRUNCATE TABLE config_table_changes");
  ASSERT_TRUE(recorder_.WaitForWakes(up + 3, 5s));

  CommitMarker();
  EXPECT_EQ(recorder_.Wakes(), up + 4);
  EXPECT_TRUE(feed->Status().up);
}

TEST_F(ChangeFeedTest, NoWakeForOtherTablesHiddenItemsOrRolledBackWrites) {
  SKIP_WITHOUT_BINLOG();
  admin_.Exec("CREATE DATABASE IF NOT EXISTS feed_test");
  admin_.Exec("CREATE TABLE IF NOT EXISTS feed_test.other (id INT PRIMARY KEY, v INT)");
  admin_.Exec("DELETE FROM feed_test.other");
  // A global item hidden by a custom override: its updates write no change-log row, but the
  // statement still maps the change log's table (its trigger may write there).
  admin_.InsertItem("custom_config", "hidden", "c", "arm", 1);
  const auto hidden = admin_.InsertItem("global_config", "hidden", "g", "arm", 1);
  const auto changes = admin_.Scalar("SELECT COUNT(*) FROM config_table_changes");

  auto feed = StartFeedUp();
  const int up = recorder_.Wakes();

  admin_.Exec("INSERT INTO feed_test.other VALUES (1, 1)");
  admin_.Exec("UPDATE feed_test.other SET v = 2");
  admin_.Exec("UPDATE global_config SET value = 'g2' WHERE id = " + std::to_string(hidden));
  admin_.Exec("BEGIN");
  admin_.InsertItem("global_config", "never", "1", "arm", 1);
  admin_.Exec("ROLLBACK");
  // A savepoint rolled back inside a transaction that commits other change-log rows.
  admin_.Exec("BEGIN");
  admin_.InsertItem("global_config", "kept", "1", "arm", 1);
  admin_.Exec("SAVEPOINT s");
  admin_.InsertItem("global_config", "undone", "1", "arm", 1);
  admin_.Exec("ROLLBACK TO SAVEPOINT s");
  admin_.Exec("COMMIT");
  ASSERT_TRUE(recorder_.WaitForWakes(up + 1, 5s)) << "no wake for the savepoint transaction";
  EXPECT_EQ(admin_.Scalar("SELECT COUNT(*) FROM config_table_changes"),
            std::to_string(std::stoi(changes.value_or("0")) + 1))
      << "the hidden update or the rollback wrote to the change log; the test means nothing";

  // Events arrive in commit order: once the marker's wake-up is in, nothing else came.
  CommitMarker();
  EXPECT_EQ(recorder_.Wakes(), up + 2);
}

// What a commit's rows hold when the feed decodes them: the same as a SELECT reads.
std::string RowText(const ConfigTableChangesData& row) {
  return std::to_string(row.id) + "|" + row.name + "|" + row.value + "|" + row.node_name + "|" +
         row.change_type + "|" + std::to_string(row.config_type) + "|" +
         std::to_string(row.deleted);
}

std::vector<std::string> SelectedRows(test::AdminDb& admin, int64_t after) {
  std::vector<std::string> rows;
  for (const test::Row& row :
       admin.Rows("SELECT id, name, value, node_name, change_type, config_type, deleted FROM "
                  "config_table_changes WHERE id > " +
                  std::to_string(after) + " ORDER BY id")) {
    std::string text;
    for (size_t i = 0; i < row.size(); ++i) {
      std::string field = row[i].value_or("");
      if ((i == 5 || i == 6) && !row[i]) field = "0";
      text += (i == 0 ? "" : "|") + field;
    }
    rows.push_back(text);
  }
  return rows;
}

std::vector<std::string> CommittedText(const std::vector<ChangeLogCommits::Committed>& commits) {
  std::vector<std::string> rows;
  for (const auto& commit : commits) {
    for (const auto& row : commit.rows) rows.push_back(RowText(row));
  }
  return rows;
}

TEST_F(ChangeFeedTest, KeepsTheRowsOfEachCommitAsTheLogHoldsThem) {
  SKIP_WITHOUT_BINLOG();
  admin_.InsertItem("global_config", "before", "0", "arm", 1);
  auto feed = StartFeedUp();
  feed->TakeCommits();
  const int up = recorder_.Wakes();

  // One transaction of three changes (an insert, an update, a withdrawal), then values the
  // text columns must keep byte for byte: a NUL, line breaks, UTF-8, a value of 100 KiB, a
  // file item without a node (NULL node_name).
  admin_.Exec("BEGIN");
  admin_.InsertItem("custom_config", "rate", "2", "arm", 1);
  admin_.Exec("UPDATE global_config SET value = '3' WHERE name = 'before'");
  admin_.Exec("UPDATE custom_config SET deleted = 1 WHERE name = 'rate'");
  admin_.Exec("COMMIT");
  admin_.InsertItem("global_config", "odd", std::string("a\0b\nc\r\n\xc3\xa9", 9), "arm", 1);
  admin_.InsertItem("global_config", "big.yaml", std::string(100 * 1024, 'x'), "", 2);
  admin_.Exec(
      "INSERT INTO global_config (name, value, node_name, config_type) VALUES "
      "('no_node.yaml', 'v', NULL, 2)");
  ASSERT_TRUE(recorder_.WaitForWakes(up + 4, 5s));
  const auto commits = feed->TakeCommits();
  ASSERT_EQ(commits.size(), 4u);
  EXPECT_EQ(commits[0].rows.size(), 3u);
  for (const auto& commit : commits) EXPECT_TRUE(commit.complete) << commit.why_incomplete;
  EXPECT_EQ(CommittedText(commits), SelectedRows(admin_, 1));
  EXPECT_TRUE(feed->TakeCommits().empty());

  // Emptying the log: by statement, or by deleting its rows. Neither brings rows, nor a
  // reason to complain.
  admin_.Exec("TRUNCATE TABLE config_table_changes");
  CommitMarker("after_truncate");
  admin_.Exec("DELETE FROM config_table_changes");
  ASSERT_TRUE(recorder_.WaitForWakes(up + 7, 5s));
  const auto emptied = feed->TakeCommits();
  ASSERT_EQ(emptied.size(), 3u);
  EXPECT_FALSE(emptied[0].complete);
  EXPECT_TRUE(emptied[1].complete);
  EXPECT_FALSE(emptied[2].complete);
  EXPECT_EQ(emptied[0].why_incomplete + emptied[2].why_incomplete, "");
}

TEST_F(ChangeFeedTest, ATableNotAsTheSchemaMakesItIsNotDecoded) {
  SKIP_WITHOUT_BINLOG();
  struct ColumnGoneAtEnd {
    test::AdminDb& admin;
    ~ColumnGoneAtEnd() {
      admin.Exec("ALTER TABLE config_table_changes DROP COLUMN IF EXISTS extra");
    }
  } gone_at_end{admin_};
  auto feed = StartFeedUp();
  // A statement, then a marker's commit; the commits of both once both woke the feed.
  const auto after = [&](const std::string& sql, const std::string& marker) {
    const int before = recorder_.Wakes();
    admin_.Exec(sql);
    admin_.InsertItem("global_config", marker, "1", "n", 1);
    EXPECT_TRUE(recorder_.WaitForWakes(before + 2, 5s)) << sql;
    return feed->TakeCommits();
  };
  auto commits = after("ALTER TABLE config_table_changes ADD COLUMN extra INT NULL", "with_extra");
  ASSERT_EQ(commits.size(), 2u);  // the ALTER, then the insert
  EXPECT_FALSE(commits[1].complete);
  EXPECT_TRUE(commits[1].rows.empty());
  EXPECT_EQ(commits[1].why_incomplete, "config_table_changes has 10 columns, not 9");

  // The schema's shape again: decoded again.
  commits = after("ALTER TABLE config_table_changes DROP COLUMN extra", "without_extra");
  ASSERT_EQ(commits.size(), 2u);
  EXPECT_TRUE(commits[1].complete) << commits[1].why_incomplete;
  ASSERT_EQ(commits[1].rows.size(), 1u);
  EXPECT_EQ(commits[1].rows[0].name, "without_extra");

  // A column of another type in its place.
  struct TypeBackAtEnd {
    test::AdminDb& admin;
    ~TypeBackAtEnd() {
      admin.Exec("ALTER TABLE config_table_changes MODIFY deleted INT NOT NULL DEFAULT 0");
    }
  } type_back{admin_};
  commits = after("ALTER TABLE config_table_changes MODIFY deleted BIGINT NOT NULL DEFAULT 0",
                  "bigint_deleted");
  ASSERT_EQ(commits.size(), 2u);
  EXPECT_FALSE(commits[1].complete);
  EXPECT_NE(commits[1].why_incomplete.find("column 8 of config_table_changes (deleted"),
            std::string::npos)
      << commits[1].why_incomplete;

  // Partial row images: an insert that leaves columns to their defaults logs only those it
  // sets. Such rows are not taken; whole ones are.
  after("ALTER TABLE config_table_changes MODIFY deleted INT NOT NULL DEFAULT 0", "type_back");
  for (const char* image : {"MINIMAL", "NOBLOB"}) {
    // Both commits' wakes are waited for: the partial one's may come after the marker's
    // count was read.
    const int before = recorder_.Wakes();
    admin_.Exec(std::string("SET SESSION binlog_row_image = '") + image + "'");
    admin_.Exec(
        "INSERT INTO config_table_changes (source_table, name, change_type) VALUES "
        "('global_config', 'partial', 'insert')");
    admin_.Exec("SET SESSION binlog_row_image = 'FULL'");
    admin_.InsertItem("global_config", "after_partial", "1", "n", 1);
    ASSERT_TRUE(recorder_.WaitForWakes(before + 2, 5s)) << image;
    commits = feed->TakeCommits();
    ASSERT_EQ(commits.size(), 2u) << image;
    EXPECT_FALSE(commits[0].complete) << image;
    EXPECT_EQ(commits[0].why_incomplete,
              "the binary log holds partial rows (binlog_row_image is not FULL)")
        << image;
    EXPECT_TRUE(commits[1].complete) << image;
  }
}

TEST_F(ChangeFeedTest, KeepsNoRowsWhenAskedNotToOrWhenTheReaderFallsFarBehind) {
  SKIP_WITHOUT_BINLOG();
  ChangeFeed::Options options = QuickRetries();
  options.take_rows = false;
  auto feed = StartFeed(options);
  ASSERT_TRUE(recorder_.WaitForStatus(IsUp, 5s)) << recorder_.History();
  CommitMarker("not_taken");
  auto commits = feed->TakeCommits();
  ASSERT_EQ(commits.size(), 1u);
  EXPECT_FALSE(commits[0].complete);
  feed->Stop();

  options.take_rows = true;
  options.kept_rows = 10;
  feed = StartFeed(options);
  ASSERT_TRUE(recorder_.WaitForStatus(IsUp, 5s)) << recorder_.History();
  const int before = recorder_.Wakes();
  for (int i = 0; i < 12; ++i)
    admin_.InsertItem("global_config", "n" + std::to_string(i), "1", "arm", 1);
  ASSERT_TRUE(recorder_.WaitForWakes(before + 12, 5s));
  commits = feed->TakeCommits();
  // Eleven rows were more than ten: what was kept became one incomplete commit, then the
  // twelfth came whole.
  ASSERT_EQ(commits.size(), 2u);
  EXPECT_FALSE(commits[0].complete);
  EXPECT_EQ(commits[0].why_incomplete, "more rows committed than the feed keeps");
  EXPECT_TRUE(commits[1].complete);
}

TEST_F(ChangeFeedTest, DownWithoutTheReplicationPrivilegeAndSaysWhy) {
  admin_.Exec("CREATE USER IF NOT EXISTS 'feed_reader'@'127.0.0.1' IDENTIFIED BY 'pw'");
  admin_.Exec("GRANT SELECT ON ROBOT.* TO 'feed_reader'@'127.0.0.1'");
  ChangeFeed::Options options = QuickRetries();
  options.account = DbAccount{"127.0.0.1", 0, "feed_reader", "pw", "ROBOT", "the test"};
  auto feed = StartFeed(options);
  const FeedDownReason expected =
      binlog_ ? FeedDownReason::kNoPrivilege : FeedDownReason::kNoBinaryLog;
  ASSERT_TRUE(recorder_.WaitForStatus(
      [&](const FeedStatus& s) { return !s.up && s.reason == expected; }, 5s))
      << recorder_.History();
  if (binlog_) {
    EXPECT_NE(feed->Status().detail.find("REPLICATION SLAVE"), std::string::npos)
        << feed->Status().detail;
    // The grant is picked up on a later attempt, without a restart of the feed.
    admin_.Exec("GRANT REPLICATION SLAVE ON *.* TO 'feed_reader'@'127.0.0.1'");
    EXPECT_TRUE(recorder_.WaitForStatus(IsUp, 5s)) << recorder_.History();
  }
  feed->Stop();
  admin_.Exec("DROP USER 'feed_reader'@'127.0.0.1'");
}

TEST_F(ChangeFeedTest, DownWhileTheLogIsNotInRowFormatThenUp) {
  SKIP_WITHOUT_BINLOG();
  struct RowFormatAtEnd {
    test::AdminDb& admin;
    ~RowFormatAtEnd() { admin.Exec("SET GLOBAL binlog_format = 'ROW'"); }
  } row_at_end{admin_};
  admin_.Exec("SET GLOBAL binlog_format = 'MIXED'");
  auto feed = StartFeed();
  ASSERT_TRUE(recorder_.WaitForStatus(
      [](const FeedStatus& s) { return s.reason == FeedDownReason::kNotRowFormat; }, 5s))
      << recorder_.History();
  EXPECT_EQ(feed->Status().detail, "binlog_format is MIXED");
  admin_.Exec("SET GLOBAL binlog_format = 'ROW'");
  EXPECT_TRUE(recorder_.WaitForStatus(IsUp, 5s)) << recorder_.History();
}

// Without a binary log the feed stays down and says so; with it back (a restart with the
// option file, as on a robot) the same feed comes up by itself.
TEST_F(ChangeFeedTest, DownWithoutABinaryLogAndUpOnceTheServerWritesOne) {
  const char* conf_dir = std::getenv("ISOLATED_DB_CONF_DIR");
  ASSERT_NE(conf_dir, nullptr) << "run inside scripts/isolated.sh";
  // The server as it was, also when the test fails half-way.
  struct BinlogBackAtEnd {
    std::string off;
    ~BinlogBackAtEnd() {
      if (std::remove(off.c_str()) == 0) std::system("db-restart");
    }
  } back{std::string(conf_dir) + "/99-test-no-binlog.cnf"};
  const bool had_binlog = binlog_;
  if (had_binlog) {
    std::ofstream(back.off) << "[mariadbd]\nskip-log-bin\n";
    ASSERT_EQ(std::system("db-restart"), 0);
  }
  auto feed = StartFeed();
  ASSERT_TRUE(recorder_.WaitForStatus(
      [](const FeedStatus& s) { return s.reason == FeedDownReason::kNoBinaryLog; }, 5s))
      << recorder_.History();
  EXPECT_EQ(DescribeFeedStatus(feed->Status()), "no binary log (log_bin is OFF)");
  if (!had_binlog) return;

  ASSERT_EQ(std::remove(back.off.c_str()), 0);
  ASSERT_EQ(std::system("db-restart"), 0);
  EXPECT_TRUE(recorder_.WaitForStatus(IsUp, 5s)) << recorder_.History();
  test::AdminDb admin;  // the restart ended the fixture's connection
  const int before = recorder_.Wakes();
  admin.InsertItem("global_config", "after", "1", "arm", 1);
  EXPECT_TRUE(recorder_.WaitForWakes(before + 1, 5s));
}

TEST_F(ChangeFeedTest, KilledConnectionComesBackAndWakesAgain) {
  SKIP_WITHOUT_BINLOG();
  auto feed = StartFeedUp();
  const std::string dump = DumpThreadId();
  ASSERT_FALSE(dump.empty());
  const uint64_t changes = feed->Status().changes;
  const auto killed = Clock::now();
  admin_.Exec("KILL " + dump);
  ASSERT_TRUE(recorder_.WaitForStatus(
      [&](const FeedStatus& s) { return s.up && s.changes >= changes + 2; }, 5s))
      << recorder_.History();
  const auto back_after = Clock::now() - killed;
  EXPECT_TRUE(recorder_.Saw(FeedDownReason::kConnectionLost)) << recorder_.History();
  EXPECT_NE(DumpThreadId(), dump);
  // Reconnected at once, not after a back-off.
  EXPECT_LT(back_after, 500ms);
  CommitMarker();
}

TEST_F(ChangeFeedTest, ServerRestartTakesItDownAndItComesBackUp) {
  SKIP_WITHOUT_BINLOG();
  ServerBackAtEnd back;
  auto feed = StartFeedUp();
  ASSERT_EQ(std::system("db-stop"), 0);
  ASSERT_TRUE(recorder_.WaitForStatus(
      [](const FeedStatus& s) { return s.reason == FeedDownReason::kServerGone; }, 5s))
      << recorder_.History();
  EXPECT_TRUE(recorder_.Saw(FeedDownReason::kConnectionLost)) << recorder_.History();
  EXPECT_FALSE(feed->Status().up);

  ASSERT_EQ(std::system("db-start"), 0);
  const auto started = Clock::now();
  ASSERT_TRUE(recorder_.WaitForStatus(IsUp, 5s)) << recorder_.History();
  // The back-off tops out at 200 ms here.
  EXPECT_LT(Clock::now() - started, 1s);
  test::AdminDb admin;
  const int before = recorder_.Wakes();
  admin.InsertItem("global_config", "after", "1", "arm", 1);
  EXPECT_TRUE(recorder_.WaitForWakes(before + 1, 5s));
}

std::chrono::milliseconds TimeToStop(ChangeFeed& feed) {
  const auto start = Clock::now();
  feed.Stop();
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

TEST_F(ChangeFeedTest, StopsPromptlyWhileStreamingOrWaitingToRetry) {
  if (binlog_) {
    auto streaming = StartFeedUp();
    std::this_thread::sleep_for(50ms);  // into the blocking read
    EXPECT_LT(TimeToStop(*streaming), 100ms);
  }

  // Nothing listens on port 1: down, then a long wait before the next attempt.
  ChangeFeed::Options options;
  options.account.port = 1;
  options.first_retry = options.longest_retry = 60s;
  auto waiting = StartFeed(options);
  ASSERT_TRUE(recorder_.WaitForStatus(
      [](const FeedStatus& s) { return s.reason == FeedDownReason::kServerGone; }, 5s))
      << recorder_.History();
  EXPECT_LT(TimeToStop(*waiting), 100ms);
}

TEST_F(ChangeFeedTest, StopsPromptlyWhileTheServerDoesNotAnswer) {
  // A listener that accepts connections (the kernel does, from its backlog) and never
  // sends the server's greeting: the feed waits in its handshake.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

  ChangeFeed::Options options;
  options.account.port = ntohs(address.sin_port);
  options.connect_timeout = 60s;
  auto feed = StartFeed(options);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(feed->Status().reason, FeedDownReason::kStarting);
  EXPECT_LT(TimeToStop(*feed), 100ms);
  ::close(listener);
}

}  // namespace
}  // namespace config_center
