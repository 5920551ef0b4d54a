// Who can read what on a robot's server: with the password fixed in the program nothing
// beyond ROBOT, neither by query nor from the binary log; with the node's own account (made
// by deploy/setup_robot.sh, which scripts/isolated.sh runs) the change feed works. Another
// database on the same server holds a secret, as a robot's other software would keep one.
// The isolated MariaDB, the mariadb client tools, and the set-up script itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <mysql.h>
#include <mysqld_error.h>
// After mysql.h, which declares what it uses.
#include <mariadb_rpl.h>

#include "store/db_account.hpp"
#include "store/db_credentials.hpp"
#include "support/node_account.hpp"
#include "support/test_db.hpp"
#include "tracking/change_feed.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;

constexpr char kSecret[] = "tok-5f1e9a-other-app";

// A command's standard output and error, and its exit status.
struct Ran {
  int status;
  std::string output;
};
Ran RunCommand(const std::string& command) {
  Ran ran{-1, ""};
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return ran;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) ran.output.append(buffer, got);
  const int status = ::pclose(pipe);
  ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

// One connection as `account`, over TCP as the node connects; closed at the end.
struct Session {
  explicit Session(const DbAccount& account) : mysql(mysql_init(nullptr)) {
    connected = mysql_real_connect(mysql, account.host.c_str(), account.user.c_str(),
                                   account.password.c_str(), nullptr, 3306, nullptr, 0) != nullptr;
  }
  ~Session() { mysql_close(mysql); }
  // The first column of every row, or nullopt when the server refused the statement.
  std::optional<std::vector<std::string>> Column(const std::string& sql) {
    if (mysql_real_query(mysql, sql.data(), sql.size()) != 0) return std::nullopt;
    std::vector<std::string> values;
    if (MYSQL_RES* result = mysql_store_result(mysql)) {
      while (MYSQL_ROW row = mysql_fetch_row(result)) values.emplace_back(row[0] ? row[0] : "");
      mysql_free_result(result);
    }
    return values;
  }
  MYSQL* mysql;
  bool connected = false;
};

class NodeAccounts : public ::testing::Test {
protected:
  void SetUp() override {
    admin_.Exec("CREATE DATABASE IF NOT EXISTS other_app");
    admin_.Exec("CREATE TABLE IF NOT EXISTS other_app.secrets (token VARCHAR(64))");
    admin_.Exec(std::string("INSERT INTO other_app.secrets VALUES ('") + kSecret + "')");
    binlog_ = admin_.Scalar("SELECT @@global.log_bin") == "1";
    // The log file that holds the secret's row event (the newest one).
    if (binlog_) {
      const auto files = admin_.Rows("SHOW BINARY LOGS");
      ASSERT_FALSE(files.empty());
      newest_log_ = files.back()[0].value();
    }
  }
  void TearDown() override { admin_.Exec("DROP DATABASE IF EXISTS other_app"); }

  // The binary log as `mariadb-binlog --read-from-remote-server` streams it to `login`
  // (client options), rows decoded.
  Ran ReadBinaryLog(const std::string& login) {
    return RunCommand(
        "mariadb-binlog " + login +
        " --read-from-remote-server --host=127.0.0.1 --base64-output=decode-rows -v " +
        newest_log_);
  }

  test::AdminDb admin_;
  bool binlog_ = false;
  std::string newest_log_;
};

TEST_F(NodeAccounts, WithThePublicPasswordNothingBeyondRobotCanBeRead) {
  Session robot(kNodeAccount);
  ASSERT_TRUE(robot.connected) << mysql_error(robot.mysql);
  // ROBOT, yes.
  EXPECT_TRUE(robot.Column("SELECT COUNT(*) FROM ROBOT.global_config"));
  // The other database: not by query, not even by name.
  EXPECT_FALSE(robot.Column("SELECT token FROM other_app.secrets"));
  EXPECT_EQ(mysql_errno(robot.mysql), ER_TABLEACCESS_DENIED_ERROR) << mysql_error(robot.mysql);
  EXPECT_EQ(robot.Column("SELECT schema_name FROM information_schema.schemata "
                         "ORDER BY schema_name"),
            (std::vector<std::string>{"information_schema", "ROBOT"}));
  EXPECT_EQ(robot.Column("SELECT COUNT(*) FROM information_schema.columns "
                         "WHERE table_schema = 'other_app'"),
            (std::vector<std::string>{"0"}));
  // Nor files on the server's disk (FILE: LOAD_FILE gives NULL without it), nor the binary
  // log's list or events.
  EXPECT_EQ(robot.Column("SELECT LOAD_FILE('/etc/hostname') IS NULL"),
            (std::vector<std::string>{"1"}));
  EXPECT_FALSE(robot.Column("SHOW BINARY LOGS"));
  // The binary log as a replica reads it (where the server keeps one): refused, by
  // statement, with the tool, and with the client library's replication calls, as the
  // change feed makes them.
  if (binlog_) {
    EXPECT_FALSE(robot.Column("SHOW BINLOG EVENTS IN '" + newest_log_ + "'"));
    const Ran tool = ReadBinaryLog("--user=robot --password='fernsTWIGS@qa'");
    EXPECT_NE(tool.status, 0) << tool.output;
    EXPECT_NE(tool.output.find("REPLICATION SLAVE"), std::string::npos) << tool.output;
    EXPECT_EQ(tool.output.find(kSecret), std::string::npos) << tool.output;
    MARIADB_RPL* rpl = mariadb_rpl_init(robot.mysql);
    ASSERT_NE(rpl, nullptr);
    mariadb_rpl_optionsv(rpl, MARIADB_RPL_SERVER_ID, 0x7ff0u);
    mariadb_rpl_optionsv(rpl, MARIADB_RPL_FILENAME, newest_log_.c_str(), newest_log_.size());
    mariadb_rpl_optionsv(rpl, MARIADB_RPL_START, 4UL);
    bool streamed = false;
    if (mariadb_rpl_open(rpl) == 0) {
      MARIADB_RPL_EVENT* event = mariadb_rpl_fetch(rpl, nullptr);
      streamed = event != nullptr;
      mariadb_free_rpl_event(event);
    }
    EXPECT_FALSE(streamed);
    EXPECT_EQ(mysql_errno(robot.mysql), ER_SPECIFIC_ACCESS_DENIED_ERROR)
        << mysql_error(robot.mysql);
    mariadb_rpl_close(rpl);
  }

  // A change feed with that account is down for want of the privilege, and says so.
  std::mutex mutex;
  std::condition_variable changed;
  ChangeFeed::Options options;
  options.account = kNodeAccount;
  options.settings_retry = 100ms;
  ChangeFeed feed([&] { changed.notify_all(); }, options);
  feed.Start();
  const FeedDownReason expected =
      binlog_ ? FeedDownReason::kNoPrivilege : FeedDownReason::kNoBinaryLog;
  std::unique_lock<std::mutex> lock(mutex);
  EXPECT_TRUE(changed.wait_for(lock, 5s, [&] { return feed.Status().reason == expected; }))
      << DescribeFeedStatus(feed.Status());
  EXPECT_FALSE(feed.Status().up);
}

TEST_F(NodeAccounts, TheInstalledAccountFollowsTheBinaryLog) {
  const DbAccount installed = test::InstalledNodeAccount();
  ASSERT_FALSE(HasPublicPassword(installed)) << installed.source;
  Session own(installed);
  ASSERT_TRUE(own.connected) << mysql_error(own.mysql);
  // Its queries stay within ROBOT too; what reads further is the binary log alone, which is
  // why only root and the node's service may know its password.
  EXPECT_FALSE(own.Column("SELECT token FROM other_app.secrets"));
  if (!binlog_) GTEST_SKIP() << "the server writes no binary log";
  const Ran tool = ReadBinaryLog("--defaults-file=" + installed.source);
  EXPECT_EQ(tool.status, 0) << tool.output;
  EXPECT_NE(tool.output.find(kSecret), std::string::npos) << tool.output.substr(0, 2000);

  // The change feed with it is up and wakes for a commit to the change log.
  std::mutex mutex;
  std::condition_variable changed;
  int wakes = 0;
  ChangeFeed::Options options;
  options.account = installed;
  ChangeFeed feed(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        ++wakes;
        changed.notify_all();
      },
      options);
  feed.Start();
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return feed.Status().up; }))
      << DescribeFeedStatus(feed.Status());
  const int before = wakes;
  lock.unlock();
  admin_.ResetTables();
  admin_.InsertItem("global_config", "feed_probe", "1", "arm", 1);
  lock.lock();
  EXPECT_TRUE(changed.wait_for(lock, 5s, [&] { return wakes > before; }));
}

// deploy/setup_robot.sh as a robot's administrator runs it, under another account name than
// the environment's own (whose password must stay as it is for the other tests).
class SetupRobot : public ::testing::Test {
protected:
  void SetUp() override {
    char dir_template[] = "/tmp/config_center_setup.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
    credentials_ = dir_ + "/etc/velgar/config_center/db.cnf";
  }
  void TearDown() override {
    admin_.Exec("ALTER USER IF EXISTS 'robot'@'127.0.0.1', 'robot'@'localhost' ACCOUNT UNLOCK");
    admin_.Exec("DROP USER IF EXISTS 'setup_probe'@'127.0.0.1', 'setup_probe'@'localhost'");
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  Ran RunSetup(const std::string& extra = "") {
    return RunCommand(std::string(CONFIG_CENTER_SETUP_ROBOT) + " --user setup_probe --no-restart " +
                      "--credentials " + credentials_ + " " + extra);
  }
  std::vector<std::string> Grants(const std::string& host) {
    std::vector<std::string> grants;
    for (const auto& row : admin_.Rows("SHOW GRANTS FOR 'setup_probe'@'" + host + "'")) {
      const std::string grant = row[0].value();
      grants.push_back(grant.substr(0, grant.find(" TO ")));
    }
    std::sort(grants.begin(), grants.end());
    return grants;
  }

  test::AdminDb admin_;
  std::string dir_;
  std::string credentials_;
};

TEST_F(SetupRobot, CreatesTheAccountWithANewPasswordAndARootOnlyFile) {
  const Ran first = RunSetup();
  ASSERT_EQ(first.status, 0) << first.output;

  // The file and the directory it made: root's only.
  struct stat file {
  }, directory{};
  ASSERT_EQ(::stat(credentials_.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 07777, 0600u);
  EXPECT_EQ(file.st_uid, 0u);
  ASSERT_EQ(::stat((dir_ + "/etc/velgar/config_center").c_str(), &directory), 0);
  EXPECT_EQ(directory.st_mode & 07777, 0700u);
  // The node's own reader takes it as it is.
  DbAccount account;
  std::string error;
  ASSERT_TRUE(ReadAccountFile(credentials_, &account, &error)) << error;
  EXPECT_EQ(account.user, "setup_probe");
  EXPECT_EQ(account.host, "127.0.0.1");
  EXPECT_EQ(account.password.size(), 32u);
  EXPECT_FALSE(HasPublicPassword(account));
  Session own(account);
  EXPECT_TRUE(own.connected) << mysql_error(own.mysql);

  // SELECT on ROBOT and REPLICATION SLAVE, on both host entries, and nothing else.
  for (const char* host : {"127.0.0.1", "localhost"}) {
    EXPECT_EQ(Grants(host), (std::vector<std::string>{"GRANT REPLICATION SLAVE ON *.*",
                                                      "GRANT SELECT ON `ROBOT`.*"}))
        << host;
  }
  // The public account is locked.
  Session robot(kNodeAccount);
  EXPECT_FALSE(robot.connected);
  EXPECT_EQ(mysql_errno(robot.mysql), ER_ACCOUNT_HAS_BEEN_LOCKED) << mysql_error(robot.mysql);
  // The password went into no binary log: whoever reads the log must not learn it.
  if (admin_.Scalar("SELECT @@global.log_bin") == "1") {
    for (const auto& log : admin_.Rows("SHOW BINARY LOGS")) {
      for (const auto& event : admin_.Rows("SHOW BINLOG EVENTS IN '" + log[0].value() + "'")) {
        const std::string info = event[5].value_or("");
        EXPECT_EQ(info.find(account.password), std::string::npos) << info;
        EXPECT_EQ(info.find("setup_probe"), std::string::npos) << info;
      }
    }
  }

  // Again: a new password, the old one refused, the file rewritten; the public account may
  // be kept on request.
  const Ran second = RunSetup("--no-schema --keep-public-account");
  ASSERT_EQ(second.status, 0) << second.output;
  DbAccount renewed;
  ASSERT_TRUE(ReadAccountFile(credentials_, &renewed, &error)) << error;
  EXPECT_NE(renewed.password, account.password);
  Session old_password(account);
  EXPECT_FALSE(old_password.connected);
  EXPECT_EQ(mysql_errno(old_password.mysql), ER_ACCESS_DENIED_ERROR);
  Session new_password(renewed);
  EXPECT_TRUE(new_password.connected) << mysql_error(new_password.mysql);
  // Kept means: left as it was (still locked from the first run), not unlocked.
  EXPECT_NE(second.output.find("public account: robot kept"), std::string::npos) << second.output;
}

TEST_F(SetupRobot, RefusesWhatWouldBreakTheRulesAndChangesNothing) {
  // The public account cannot become the node's own.
  Ran refused = RunCommand(std::string(CONFIG_CENTER_SETUP_ROBOT) + " --user robot --no-restart " +
                           "--credentials " + credentials_);
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("public password"), std::string::npos) << refused.output;
  // A name that is no plain name is not put into SQL.
  refused = RunSetup("--user \"x'; DROP DATABASE ROBOT; --\"");
  EXPECT_NE(refused.status, 0);
  EXPECT_EQ(admin_.Scalar("SELECT COUNT(*) FROM information_schema.schemata "
                          "WHERE schema_name = 'ROBOT'"),
            "1");
  struct stat file {};
  EXPECT_NE(::stat(credentials_.c_str(), &file), 0);
  // The public account was not touched.
  Session robot(kNodeAccount);
  EXPECT_TRUE(robot.connected) << mysql_error(robot.mysql);
}

}  // namespace
}  // namespace config_center
