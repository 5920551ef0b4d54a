// Following the change log, in-process against the isolated database: the position, reading
// in parts, failed reads, a log that went back, and rows that commit late.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logging/log_capture.hpp"
#include "store/db_connection.hpp"
#include "support/node_account.hpp"
#include "support/test_db.hpp"
#include "tracking/change_log.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;

class ChangeLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    admin_.ResetTables();
    ASSERT_TRUE(db_.Connect());
  }

  // A change-log row as the triggers write it, by hand: the id is what matters here.
  static std::string Row(const std::string& name, const std::string& value) {
    return "INSERT INTO config_table_changes (source_table, name, value, node_name, "
           "change_type, config_type, deleted) VALUES ('global_config', '" +
           name + "', '" + value + "', 'arm', 'update', 1, 0)";
  }

  ChangeLog::Pass Follow() {
    std::string failure;
    const ChangeLog::Pass pass = log_.Follow(&failure);
    last_failure_ = failure;
    return pass;
  }

  std::vector<int64_t> Applied() const {
    std::vector<int64_t> ids;
    for (const ItemChange& change : applied_) ids.push_back(change.id);
    return ids;
  }

  // Statements the node's connection ran on the server so far (it prepares every one; the
  // administrator's connection prepares none).
  int64_t StatementsRun() {
    return std::stoll(admin_
                          .Scalar("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                                  "WHERE VARIABLE_NAME = 'COM_STMT_EXECUTE'")
                          .value_or("0"));
  }

  // The feed started and up, and the pass that catches up after it came up done; false
  // when the server writes no binary log.
  bool FollowWithTheFeed() {
    if (admin_.Scalar("SELECT @@global.log_bin") != "1") return false;
    // The binary log is read with the node's own account, as the node reads it.
    ChangeFeed::Options options;
    options.account = test::InstalledNodeAccount();
    log_.StartFeed(
        [this] {
          std::lock_guard<std::mutex> lock(mutex_);
          ++wakes_;
          woken_.notify_all();
        },
        options);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (log_.source() != ChangeLog::Source::kFeed &&
           std::chrono::steady_clock::now() < deadline) {
      WaitForWakes(wakes_taken_ + 1, 100ms);
      TakeWakes();
    }
    EXPECT_EQ(log_.source(), ChangeLog::Source::kFeed) << log_.SourceText();
    EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
    return true;
  }
  bool WaitForWakes(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return woken_.wait_for(lock, timeout, [&] { return wakes_ >= count; });
  }
  // As the node does on a wake-up.
  void TakeWakes() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wakes_taken_ = wakes_;
    }
    log_.Woken(ChangeLog::Clock::now());
  }
  // Wakes and passes as the node runs them, until `count` changes were applied (at most 10 s).
  void FollowUntilApplied(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (applied_.size() < count && std::chrono::steady_clock::now() < deadline) {
      if (WaitForWakes(wakes_taken_ + 1, 20ms)) TakeWakes();
      Follow();
    }
  }

  test::AdminDb admin_;
  DbConnection db_;
  std::vector<ItemChange> applied_;
  std::mutex mutex_;
  std::condition_variable woken_;
  int wakes_ = 0;
  int wakes_taken_ = 0;
  ChangeLog log_{db_, [this](const ItemChange& change) { applied_.push_back(change); }};
  std::string last_failure_;
};

TEST_F(ChangeLogTest, AppliesNewRowsInIdOrderAPartAtATime) {
  admin_.Exec(Row("before", "0"));
  ASSERT_TRUE(log_.Start());
  EXPECT_EQ(log_.position(), 1);
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_TRUE(applied_.empty());  // taken into account by start-up

  // 600 rows: three passes of at most 256.
  admin_.Exec("START TRANSACTION");
  for (int i = 0; i < 600; ++i) admin_.Exec(Row("speed", std::to_string(i)));
  admin_.Exec("COMMIT");
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_EQ(applied_.size(), 256u);
  EXPECT_EQ(log_.position(), 257);
  Follow();
  Follow();
  ASSERT_EQ(applied_.size(), 600u);
  EXPECT_EQ(log_.position(), 601);
  for (size_t i = 0; i < applied_.size(); ++i) {
    ASSERT_EQ(applied_[i].id, static_cast<int64_t>(i) + 2);
    ASSERT_EQ(applied_[i].item.value, std::to_string(i));
  }
  EXPECT_FALSE(log_.missing());
}

TEST_F(ChangeLogTest, APassReadsABoundedNumberOfBytesAndSkipsNoRowLeftForLater) {
  ASSERT_TRUE(log_.Start());
  std::vector<ItemChange> got;
  ChangeLog small(
      db_, [&got](ItemChange change) { got.push_back(std::move(change)); }, 1000);
  ASSERT_TRUE(small.Start());
  // Ten rows of 300 bytes, then one of 5000: at most 1000 bytes a pass (three rows), the
  // large one alone.
  admin_.Exec("START TRANSACTION");
  for (int i = 0; i < 10; ++i) admin_.Exec(Row("v" + std::to_string(i), std::string(300, 'x')));
  admin_.Exec(Row("big", std::string(5000, 'y')));
  admin_.Exec("COMMIT");
  std::vector<size_t> per_pass;
  for (int pass = 0; pass < 10 && got.size() < 11; ++pass) {
    const size_t before = got.size();
    std::string failure;
    ASSERT_EQ(small.Follow(&failure), ChangeLog::Pass::kRead) << failure;
    per_pass.push_back(got.size() - before);
  }
  EXPECT_EQ(per_pass, (std::vector<size_t>{3, 3, 3, 1, 1}));
  ASSERT_EQ(got.size(), 11u);
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].id, static_cast<int64_t>(i) + 1);
  EXPECT_EQ(got.back().item.value.size(), 5000u);
  EXPECT_EQ(small.position(), 11);
  EXPECT_FALSE(small.missing());
}

TEST_F(ChangeLogTest, AFailedReadKeepsThePositionAndAnEmptiedLogIsNoticed) {
  admin_.Exec(Row("a", "1"));
  ASSERT_TRUE(log_.Start());
  admin_.Exec(Row("b", "2"));
  admin_.Exec("ALTER TABLE config_table_changes RENAME COLUMN value TO value_x");
  EXPECT_EQ(Follow(), ChangeLog::Pass::kFailed);
  EXPECT_NE(last_failure_.find("reading the changes after 1"), std::string::npos) << last_failure_;
  EXPECT_EQ(log_.position(), 1);
  admin_.Exec("ALTER TABLE config_table_changes RENAME COLUMN value_x TO value");
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_EQ(Applied(), std::vector<int64_t>{2});

  admin_.Exec("TRUNCATE config_table_changes");
  admin_.Exec(Row("c", "3"));  // id 1 again, below the position
  EXPECT_EQ(Follow(), ChangeLog::Pass::kWentBack);
  EXPECT_EQ(log_.position(), 2);  // left to the caller, who reads the tables again
  ASSERT_TRUE(log_.Start());
  EXPECT_EQ(log_.position(), 1);
  admin_.Exec(Row("d", "4"));
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_EQ(Applied(), (std::vector<int64_t>{2, 2}));  // the new log's id 2
  EXPECT_EQ(applied_.back().item.name, "d");
}

TEST_F(ChangeLogTest, AfterAWakeTheRowsAreReadFirstAndAnEmptiedLogIsStillNoticed) {
  admin_.Exec(Row("a", "1"));
  ASSERT_TRUE(log_.Start());
  admin_.Exec(Row("b", "2"));
  admin_.Exec(Row("c", "3"));
  log_.Woken(ChangeLog::Clock::now());  // as the feed's wake-up does for a commit
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_EQ(Applied(), (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(log_.position(), 3);
  EXPECT_EQ(log_.newest_read(), 3);
  // Nothing more: the maximum says whether the log went back.
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  admin_.Exec("TRUNCATE config_table_changes");
  log_.Woken(ChangeLog::Clock::now());
  EXPECT_EQ(Follow(), ChangeLog::Pass::kWentBack);
  EXPECT_EQ(Applied(), (std::vector<int64_t>{2, 3}));
}

TEST_F(ChangeLogTest, AStartThatCannotReadTheMaximumReadsTheWholeLogLater) {
  admin_.Exec(Row("a", "1"));
  admin_.Exec(Row("b", "2"));
  admin_.Exec("RENAME TABLE config_table_changes TO config_table_changes_away");
  EXPECT_FALSE(log_.Start());
  EXPECT_EQ(log_.position(), -1);
  EXPECT_EQ(Follow(), ChangeLog::Pass::kFailed);
  admin_.Exec("RENAME TABLE config_table_changes_away TO config_table_changes");
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_EQ(Applied(), (std::vector<int64_t>{1, 2}));
}

TEST_F(ChangeLogTest, ARowThatCommitsLateIsAppliedUnlessANewerChangeOfItsItemCameFirst) {
  ASSERT_TRUE(log_.Start());
  test::AdminDb early;  // its transaction takes ids first and commits last
  early.Exec("START TRANSACTION");
  early.Exec(Row("speed", "old"));
  early.Exec(Row("mode", "late"));
  admin_.Exec(Row("speed", "new"));
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_EQ(Applied(), std::vector<int64_t>{3});
  EXPECT_TRUE(log_.missing());  // ids 1 and 2 passed over without their rows
  early.Exec("COMMIT");
  std::this_thread::sleep_for(120ms);  // the missing ids are looked for every 100 ms
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  // "mode" comes late and goes in; the late "speed" would undo the newer one, so it does not.
  EXPECT_EQ(Applied(), (std::vector<int64_t>{3, 2}));
  EXPECT_FALSE(log_.missing());
}

#define FOLLOW_WITH_THE_FEED_OR_SKIP() \
  if (!FollowWithTheFeed()) GTEST_SKIP() << "the server runs without a binary log"

TEST_F(ChangeLogTest, WithTheFeedTheRowsComeFromTheBinaryLogInCommitOrder) {
  admin_.Exec(Row("before", "0"));
  ASSERT_TRUE(log_.Start());
  FOLLOW_WITH_THE_FEED_OR_SKIP();
  admin_.Exec(Row("a", "1"));
  admin_.Exec("START TRANSACTION");
  for (int i = 0; i < 3; ++i) admin_.Exec(Row("speed", std::to_string(i)));
  admin_.Exec("COMMIT");
  admin_.Exec(Row("b", std::string("x\0y", 3)));
  ASSERT_TRUE(WaitForWakes(wakes_taken_ + 3, 5000ms));
  TakeWakes();
  const int64_t statements = StatementsRun();
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_EQ(StatementsRun(), statements) << "the rows were read with a SELECT";
  EXPECT_EQ(Applied(), (std::vector<int64_t>{2, 3, 4, 5, 6}));
  ASSERT_EQ(applied_.size(), 5u);
  EXPECT_EQ(applied_[3].item.value, "2");
  EXPECT_EQ(applied_[4].item.value, std::string("x\0y", 3));
  EXPECT_EQ(log_.position(), 6);
  // The pass a second: the maximum is read, and it is not a log that went back.
  EXPECT_EQ(Follow(), ChangeLog::Pass::kRead);
  EXPECT_EQ(log_.position(), 6);
  EXPECT_FALSE(log_.missing());
}

TEST_F(ChangeLogTest, WithTheFeedALateCommitAndARolledBackIdAreWhatTheyAreWithoutIt) {
  ASSERT_TRUE(log_.Start());
  FOLLOW_WITH_THE_FEED_OR_SKIP();
  test::AdminDb early;  // its transaction takes ids first and commits last
  early.Exec("START TRANSACTION");
  early.Exec(Row("speed", "old"));
  early.Exec(Row("mode", "late"));
  admin_.Exec(Row("speed", "new"));
  FollowUntilApplied(1);
  EXPECT_EQ(Applied(), std::vector<int64_t>{3});
  EXPECT_TRUE(log_.missing());
  early.Exec("COMMIT");
  // "mode" comes late and goes in; the late "speed" would undo the newer one, so it does not.
  FollowUntilApplied(2);
  EXPECT_EQ(Applied(), (std::vector<int64_t>{3, 2}));
  EXPECT_FALSE(log_.missing());

  // An id a rolled-back transaction took stays a hole, waited for; the next commit goes in.
  admin_.Exec("START TRANSACTION");
  admin_.Exec(Row("never", "1"));
  admin_.Exec("ROLLBACK");
  admin_.Exec(Row("after", "1"));
  FollowUntilApplied(3);
  EXPECT_EQ(Applied(), (std::vector<int64_t>{3, 2, 5}));
  EXPECT_TRUE(log_.missing());
  EXPECT_EQ(log_.position(), 5);
}

TEST_F(ChangeLogTest, WithTheFeedAnEmptiedLogIsNoticedWhicheverWayItWasEmptied) {
  admin_.Exec(Row("a", "1"));
  ASSERT_TRUE(log_.Start());
  FOLLOW_WITH_THE_FEED_OR_SKIP();
  for (const char* empty : {"TRUNCATE config_table_changes", "DELETE FROM config_table_changes"}) {
    admin_.Exec(Row("b", "2"));
    const size_t before = applied_.size();
    FollowUntilApplied(before + 1);
    ASSERT_EQ(applied_.size(), before + 1) << empty;
    admin_.Exec(empty);
    ASSERT_TRUE(WaitForWakes(wakes_taken_ + 1, 5000ms)) << empty;
    TakeWakes();
    EXPECT_EQ(Follow(), ChangeLog::Pass::kWentBack) << empty;
    ASSERT_TRUE(log_.Start());
  }
  // Followed from the new start, from the log's rows again.
  admin_.Exec(Row("c", "3"));
  FollowUntilApplied(3);
  EXPECT_EQ(applied_.back().item.name, "c");
}

TEST_F(ChangeLogTest, WithTheFeedLostMidStreamNoChangeIsLostOrAppliedTwice) {
  ASSERT_TRUE(log_.Start());
  FOLLOW_WITH_THE_FEED_OR_SKIP();
  const auto dump_thread = [&] {
    return admin_
        .Scalar(
            "SELECT id FROM information_schema.processlist WHERE command = 'Binlog Dump' "
            "AND user = 'robot' ORDER BY id DESC LIMIT 1")
        .value_or("");
  };
  // Large transactions, the feed's connection killed as each commit returns: the feed is
  // then in the middle of its events, or just past them; also one committed while it is down.
  size_t expected = 0;
  const std::string value(1024, 'v');
  for (int round = 0; round < 4; ++round) {
    admin_.Exec("START TRANSACTION");
    const int rows = 200 * (round + 1);
    for (int i = 0; i < rows; ++i) admin_.Exec(Row("p" + std::to_string(i % 50), value));
    admin_.Exec("COMMIT");
    const std::string dump = dump_thread();
    if (!dump.empty()) admin_.Exec("KILL " + dump);
    if (round == 2) admin_.Exec(Row("while_down", "1"));
    expected += static_cast<size_t>(rows) + (round == 2 ? 1 : 0);
    FollowUntilApplied(expected);
  }
  FollowUntilApplied(expected + 1);  // nothing more comes
  ASSERT_EQ(applied_.size(), expected)
      << "last applied: " << (applied_.empty() ? 0 : applied_.back().id) << " position "
      << log_.position() << " " << log_.SourceText();
  for (size_t i = 0; i < applied_.size(); ++i) {
    ASSERT_EQ(applied_[i].id, static_cast<int64_t>(i) + 1) << "at " << i;
  }
}

TEST_F(ChangeLogTest, WithTheFeedATableChangedByHandIsReadWithASelectAndSaidOnce) {
  struct ColumnGoneAtEnd {
    test::AdminDb& admin;
    ~ColumnGoneAtEnd() {
      admin.Exec("ALTER TABLE config_table_changes DROP COLUMN IF EXISTS extra");
    }
  } gone_at_end{admin_};
  ASSERT_TRUE(log_.Start());
  FOLLOW_WITH_THE_FEED_OR_SKIP();
  admin_.Exec("ALTER TABLE config_table_changes ADD COLUMN extra INT NULL");
  LogCapture capture;
  for (int i = 0; i < 3; ++i) {
    admin_.Exec(Row("n" + std::to_string(i), "1"));
    FollowUntilApplied(static_cast<size_t>(i) + 1);
  }
  EXPECT_EQ(Applied(), (std::vector<int64_t>{1, 2, 3}));
  const std::vector<std::string> texts = capture.Texts();
  capture.Discard();
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "Changes are not taken from the binary log's rows (config_table_changes "
                       "has 10 columns, not 9): reading them with a SELECT after each commit"),
            1);
}

}  // namespace
}  // namespace config_center
