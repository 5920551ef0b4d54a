// The connection against the isolated MariaDB while it is stopped, restarted and reconnected.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "store/db_connection.hpp"
#include "support/output_capture.hpp"
#include "support/test_db.hpp"

namespace config_center {
namespace {

constexpr const char* kMaxIdQuery = "SELECT MAX(id) FROM config_table_changes";

// Starts the server again when a test ends, so one failure does not take the rest along.
// (db-start on a running server would spoil its pid file, so only when it is down.)
struct ServerBackAtEnd {
  ~ServerBackAtEnd() {
    std::system("mariadb-admin --socket=/run/mysqld/mysqld.sock ping >/dev/null 2>&1 || db-start");
  }
};

class DbConnectionTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(db_.Connect()) << db_.ConnectError(); }
  DbConnection db_;
};

TEST_F(DbConnectionTest, StoppedServerFailsConnectWithTheClientTextOnStdout) {
  ServerBackAtEnd back;
  ASSERT_EQ(std::system("db-stop"), 0);

  test::OutputCapture out(STDOUT_FILENO);
  const bool connected = db_.Connect();
  const std::string printed = out.Take();
  EXPECT_FALSE(connected);
  EXPECT_NE(db_.ConnectError().find("127.0.0.1"), std::string::npos) << db_.ConnectError();
  EXPECT_EQ(printed, db_.ConnectError() + "\n");

  ASSERT_EQ(std::system("db-start"), 0);
  ASSERT_TRUE(db_.Connect());
  EXPECT_EQ(db_.Query<IncrementId>(kMaxIdQuery).size(), 1u);
}

TEST_F(DbConnectionTest, ConnectionErrorOnStdoutIsOneLineEscaped) {
  // The client's text can quote a server's or a resolver's words: one line whatever it holds.
  test::OutputCapture out(STDOUT_FILENO);
  db_.SetError("Unknown server host 'db\n[error] forged'\x1b[2J");
  EXPECT_EQ(out.Take(), "Unknown server host 'db\\n[error] forged'\\x1b[2J\n");
  EXPECT_EQ(db_.ConnectError(), "Unknown server host 'db\n[error] forged'\x1b[2J");
}

TEST_F(DbConnectionTest, QueriesDuringAnOutageFailAndRecoverWhenTheServerIsBack) {
  ServerBackAtEnd back;
  ASSERT_EQ(std::system("db-stop"), 0);
  for (int i = 0; i < 2; ++i) {
    // A failure, not an empty result.
    EXPECT_TRUE(db_.Query<IncrementId>(kMaxIdQuery).empty());
    EXPECT_TRUE(db_.LastQueryFailed());
    EXPECT_NE(db_.LastQueryErrno(), 0u);
    EXPECT_FALSE(db_.LastQueryError().empty());
  }
  ASSERT_EQ(std::system("db-start"), 0);
  // No Connect: the connection comes back by itself.
  EXPECT_EQ(db_.Query<IncrementId>(kMaxIdQuery).size(), 1u);
  EXPECT_FALSE(db_.LastQueryFailed()) << db_.LastQueryError();
  EXPECT_EQ(db_.LastQueryErrno(), 0u);
}

TEST_F(DbConnectionTest, QueriesWorkAgainRightAfterAServerRestart) {
  ServerBackAtEnd back;
  ASSERT_EQ(db_.Query<IncrementId>(kMaxIdQuery).size(), 1u);
  ASSERT_EQ(std::system("db-restart"), 0);

  // The client library notices the closed connection and reconnects before the next
  // statement, so not even the first query after the restart fails.
  EXPECT_EQ(db_.Query<IncrementId>(kMaxIdQuery).size(), 1u);
  EXPECT_FALSE(db_.LastQueryFailed()) << db_.LastQueryError();
  EXPECT_EQ(db_.Query<IncrementId>(kMaxIdQuery).size(), 1u);
}

TEST_F(DbConnectionTest, KeptStatementIsPreparedOnceAndSurvivesOutagesAndRestarts) {
  ServerBackAtEnd back;
  constexpr auto kKept = DbConnection::Statement::kKept;
  auto prepares = [] {
    test::AdminDb admin;
    return std::stol(
        admin
            .Scalar("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE "
                    "VARIABLE_NAME = 'COM_STMT_PREPARE'")
            .value_or("0"));
  };
  const long before = prepares();
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(db_.Query<IncrementId>(kMaxIdQuery, kKept).size(), 1u) << db_.LastQueryError();
  }
  EXPECT_EQ(prepares() - before, 1);

  // It sees new rows, not a result kept from its first run.
  test::AdminDb admin;
  admin.ResetTables();
  admin.InsertItem("global_config", "a.yaml", "a", "", 2);
  const std::vector<IncrementId> one = db_.Query<IncrementId>(kMaxIdQuery, kKept);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one.front().id, 1);

  // The restarted server has forgotten the statement: it is prepared again at once, so the
  // first query after the restart already answers.
  ASSERT_EQ(std::system("db-restart"), 0);
  EXPECT_EQ(db_.Query<IncrementId>(kMaxIdQuery, kKept).size(), 1u);
  EXPECT_FALSE(db_.LastQueryFailed()) << db_.LastQueryError();

  ASSERT_EQ(std::system("db-stop"), 0);
  EXPECT_TRUE(db_.Query<IncrementId>(kMaxIdQuery, kKept).empty());
  EXPECT_TRUE(db_.LastQueryFailed());
  ASSERT_EQ(std::system("db-start"), 0);
  test::AdminDb again;
  again.InsertItem("global_config", "b.yaml", "b", "", 2);
  const std::vector<IncrementId> two = db_.Query<IncrementId>(kMaxIdQuery, kKept);
  ASSERT_EQ(two.size(), 1u) << db_.LastQueryError();
  EXPECT_EQ(two.front().id, 2);
}

TEST_F(DbConnectionTest, SecondConnectReplacesTheFirstConnection) {
  test::AdminDb admin;
  const std::string count_sql =
      "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = 'robot'";
  ASSERT_EQ(admin.Scalar(count_sql), "1");
  ASSERT_TRUE(db_.Connect());
  ASSERT_TRUE(db_.Connect());
  // The server drops a closed session shortly after the client quits.
  std::string count;
  for (int i = 0; i < 100; ++i) {
    count = admin.Scalar(count_sql).value_or("");
    if (count == "1") {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(count, "1");
  EXPECT_EQ(db_.Query<IncrementId>(kMaxIdQuery).size(), 1u);
}

}  // namespace
}  // namespace config_center
