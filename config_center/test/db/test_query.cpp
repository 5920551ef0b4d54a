// Reading records through the robot account from the isolated MariaDB: row mapping, NULLs,
// long and binary-looking values, and failures that must be told from empty results.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "logging/logging.hpp"
#include "store/db_connection.hpp"
#include "support/test_db.hpp"

namespace config_center {
namespace {

constexpr const char* kItems =
    "SELECT name, value, node_name, config_type FROM global_config WHERE deleted = 0 ORDER BY id";
constexpr const char* kMaxId = "SELECT MAX(id) FROM config_table_changes";

const std::string kLogBase = "/tmp/config_center_test_query_log";

// Text of `size` printable bytes that differ from position to position, so a piece fetched
// at the wrong offset shows.
std::string Pattern(size_t size, unsigned seed) {
  std::string text(size, ' ');
  for (size_t i = 0; i < size; ++i) {
    text[i] = static_cast<char>('!' + (i * 31 + i / 7 + seed) % 90);
  }
  return text;
}

int CountErrorRecords() {
  // The log file carries the date; there is only one under this base.
  std::string command = "cat " + kLogBase + "_* 2>/dev/null | grep -c '\\[error\\]'";
  FILE* pipe = popen(command.c_str(), "r");
  int count = 0;
  if (pipe != nullptr) {
    if (std::fscanf(pipe, "%d", &count) != 1) {
      count = 0;
    }
    pclose(pipe);
  }
  return count;
}

class QueryTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    std::system(("rm -f " + kLogBase + "_*").c_str());
    InitLogger(kLogBase, "config_center");
  }
  void SetUp() override {
    admin_.ResetTables();
    ASSERT_TRUE(db_.Connect()) << db_.ConnectError();
  }
  test::AdminDb admin_;
  DbConnection db_;
};

TEST_F(QueryTest, RowsFillRecordsByPositionAndNullsReadAsDefaults) {
  // An empty change log has a NULL maximum: one record, id 0.
  auto max_id = db_.Query<IncrementId>(kMaxId);
  ASSERT_EQ(max_id.size(), 1u);
  EXPECT_EQ(max_id[0].id, 0);

  admin_.InsertItem("global_config", "speed", "1.5", "arm", kParam);
  admin_.Exec(
      "INSERT INTO global_config (name, value, node_name, config_type) VALUES "
      "('bare', NULL, NULL, NULL)");
  admin_.InsertItem("global_config", "old", "x", "arm", kParam, 1);

  const auto items = db_.Query<ConfigData>(kItems);
  EXPECT_FALSE(db_.LastQueryFailed());
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].name, "speed");
  EXPECT_EQ(items[0].value, "1.5");
  EXPECT_EQ(items[0].node_name, "arm");
  EXPECT_EQ(items[0].config_type, kParam);
  // The NULL columns must not show the row before.
  EXPECT_EQ(items[1].name, "bare");
  EXPECT_EQ(items[1].value, "");
  EXPECT_EQ(items[1].node_name, "");
  EXPECT_EQ(items[1].config_type, 0);

  const auto changes = db_.Query<ConfigTableChangesData>(
      "select id, name, value, node_name, change_type, config_type,deleted from "
      "config_table_changes where id >0 order by id");
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].id, 1);
  EXPECT_EQ(changes[0].change_type, "insert");
  EXPECT_EQ(changes[0].config_type, kParam);
  EXPECT_EQ(changes[1].id, 2);
  EXPECT_EQ(changes[1].name, "bare");
  EXPECT_EQ(changes[1].config_type, 0);

  max_id = db_.Query<IncrementId>(kMaxId);
  ASSERT_EQ(max_id.size(), 1u);
  EXPECT_EQ(max_id[0].id, 2);

  EXPECT_TRUE(db_.Query<ConfigData>("SELECT name, value, node_name, config_type FROM "
                                    "global_config WHERE name = 'none'")
                  .empty());
  EXPECT_FALSE(db_.LastQueryFailed());
  EXPECT_EQ(db_.LastQueryErrno(), 0u);
}

TEST_F(QueryTest, FailuresAreReportedAndLoggedOnce) {
  const int errors_before = CountErrorRecords();
  EXPECT_TRUE(db_.Query<ConfigData>("select name, value, node_name, config_type from "
                                    "no_such_table")
                  .empty());
  EXPECT_TRUE(db_.LastQueryFailed());
  EXPECT_EQ(db_.LastQueryErrno(), 1146u);
  EXPECT_NE(db_.LastQueryError().find("no_such_table"), std::string::npos) << db_.LastQueryError();
  EXPECT_EQ(CountErrorRecords(), errors_before + 1);

  // More columns than the record has members (binding them would write past the binds).
  EXPECT_TRUE(db_.Query<IncrementId>("select 1, 2").empty());
  EXPECT_TRUE(db_.LastQueryFailed());
  EXPECT_EQ(db_.LastQueryErrno(), 2000u);
  // An integer that does not fit the 32-bit member.
  EXPECT_TRUE(db_.Query<ConfigData>("select 'a', 'b', 'c', 5000000000").empty());
  EXPECT_TRUE(db_.LastQueryFailed());

  // The next good query clears the failure.
  EXPECT_EQ(db_.Query<IncrementId>(kMaxId).size(), 1u);
  EXPECT_FALSE(db_.LastQueryFailed());
  EXPECT_EQ(db_.LastQueryErrno(), 0u);
  EXPECT_EQ(db_.LastQueryError(), "");
}

TEST_F(QueryTest, ErrorBetweenRowsKeepsTheRowsBeforeItAndCountsAsFailure) {
  for (const char* name : {"a", "b", "c", "d"}) {
    admin_.InsertItem("global_config", name, "v", "n", kParam);
  }
  // The subquery only goes wrong when the server reaches the third row.
  const auto items = db_.Query<ConfigData>(
      "select name, value, node_name, if(id = 3, (select 1 union select 2), config_type) "
      "from global_config order by id");
  EXPECT_TRUE(db_.LastQueryFailed());
  EXPECT_EQ(db_.LastQueryErrno(), 1242u) << "[" << db_.LastQueryError() << "]";
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].name, "b");
}

TEST_F(QueryTest, LongValuesAndNulBytesComeBackWhole) {
  std::vector<std::string> values;
  for (size_t size : {65535u, 65536u, 65537u, 1048576u, 5u << 20}) {
    values.push_back(Pattern(size, static_cast<unsigned>(values.size())));
  }
  values.emplace_back("a\0b\0\0c", 6);
  std::string long_with_nul = Pattern(70000, 9);
  long_with_nul[3] = '\0';
  long_with_nul[69999] = '\0';
  values.push_back(long_with_nul);
  values.emplace_back("smile \xF0\x9F\x99\x82 and \xC3\xA9");  // 4- and 2-byte UTF-8
  values.emplace_back("short after the long ones");
  for (size_t i = 0; i < values.size(); ++i) {
    admin_.InsertItem("global_config", "item" + std::to_string(i), values[i], "n", kFile);
  }
  // Check the test's own data arrived whole in the table.
  ASSERT_EQ(admin_.Scalar("SELECT LENGTH(value) FROM global_config WHERE name = 'item4'"),
            std::to_string(5u << 20));

  const auto items = db_.Query<ConfigData>(kItems);
  EXPECT_FALSE(db_.LastQueryFailed()) << db_.LastQueryError();
  ASSERT_EQ(items.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(items[i].value.size(), values[i].size()) << "item" << i;
    EXPECT_TRUE(items[i].value == values[i]) << "item" << i;
    EXPECT_EQ(items[i].name, "item" + std::to_string(i));
    EXPECT_EQ(items[i].config_type, kFile);
  }
  // The change log carries the same values.
  const auto changes = db_.Query<ConfigTableChangesData>(
      "select id, name, value, node_name, change_type, config_type,deleted from "
      "config_table_changes where id >0 order by id");
  ASSERT_EQ(changes.size(), values.size());
  EXPECT_TRUE(changes[4].value == values[4]);
  EXPECT_EQ(changes[4].node_name, "n");
}

TEST_F(QueryTest, ChangeLogIdsPastTwoToThe31) {
  admin_.Exec("ALTER TABLE config_table_changes AUTO_INCREMENT = 3000000000");
  admin_.InsertItem("global_config", "speed", "1", "arm", kParam);
  admin_.InsertItem("global_config", "speed2", "2", "arm", kParam);

  const auto max_id = db_.Query<IncrementId>(kMaxId);
  ASSERT_EQ(max_id.size(), 1u);
  EXPECT_EQ(max_id[0].id, 3000000001LL);
  const auto changes = db_.Query<ConfigTableChangesData>(
      "select id, name, value, node_name, change_type, config_type,deleted from "
      "config_table_changes where id >3000000000 order by id");
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].id, 3000000001LL);
  EXPECT_EQ(changes[0].name, "speed2");
}

TEST_F(QueryTest, AKeptStatementTakesNewValuesEachTimeAndCountsThem) {
  for (int i = 0; i < 5; ++i)
    admin_.InsertItem("global_config", "p" + std::to_string(i), "v", "a", 1);
  const std::string after =
      "select id, name, value, node_name, change_type, config_type,deleted from "
      "config_table_changes where id > ? order by id limit ?";
  const auto ids = [&](int64_t position, int64_t limit) {
    std::vector<int64_t> found;
    for (const auto& change : db_.Query<ConfigTableChangesData>(
             after, DbConnection::Statement::kKept, {position, limit})) {
      found.push_back(change.id);
    }
    return found;
  };
  EXPECT_EQ(ids(0, 2), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(ids(2, 256), (std::vector<int64_t>{3, 4, 5}));
  EXPECT_EQ(ids(3000000000LL, 256), std::vector<int64_t>{});
  EXPECT_FALSE(db_.LastQueryFailed());
  // A value short is a failure, not a query run with whatever was bound before.
  db_.Query<ConfigTableChangesData>(after, DbConnection::Statement::kKept, {1});
  EXPECT_TRUE(db_.LastQueryFailed());
  EXPECT_NE(db_.LastQueryError().find("takes 2 values, 1 were given"), std::string::npos)
      << db_.LastQueryError();
  EXPECT_EQ(ids(4, 256), std::vector<int64_t>{5});
}

}  // namespace
}  // namespace config_center
