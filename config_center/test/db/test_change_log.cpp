// Following the change log, in-process against the isolated database: the position, reading
// in parts, failed reads, a log that went back, and rows that commit late.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store/db_connection.hpp"
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

  test::AdminDb admin_;
  DbConnection db_;
  std::vector<ItemChange> applied_;
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

}  // namespace
}  // namespace config_center
