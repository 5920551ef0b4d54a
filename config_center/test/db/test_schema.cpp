// The change-log triggers and the account of db/schema.sql, on the isolated MariaDB.
#include <gtest/gtest.h>
#include <mysql.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_db.hpp"

namespace config_center {
namespace {

class SchemaTest : public ::testing::Test {
protected:
  void SetUp() override { admin_.ResetTables(); }

  // Change-log rows written since the last call, as "table change name=value node type deleted".
  std::vector<std::string> NewChanges() {
    const auto rows = admin_.Rows(
        "SELECT id, source_table, change_type, name, value, node_name, config_type, deleted "
        "FROM config_table_changes WHERE id > " +
        std::to_string(seen_) + " ORDER BY id");
    std::vector<std::string> changes;
    for (const auto& row : rows) {
      seen_ = std::stoll(row[0].value());
      std::string text;
      for (size_t i = 1; i < row.size(); ++i) {
        text += (i == 1 ? "" : i == 4 ? "=" : " ") + row[i].value_or("NULL");
      }
      changes.push_back(text);
    }
    return changes;
  }
  using Changes = std::vector<std::string>;

  test::AdminDb admin_;
  long long seen_ = 0;
};

TEST_F(SchemaTest, InsertUpdateWithdrawAndDeleteOfOneTable) {
  const auto id = admin_.InsertItem("global_config", "speed", "1", "arm", 1);
  const std::string row = " WHERE id = " + std::to_string(id);
  admin_.Exec("UPDATE global_config SET value = '2'" + row);
  admin_.Exec("UPDATE global_config SET deleted = 1" + row);
  admin_.Exec("UPDATE global_config SET value = '3'" + row);  // stays withdrawn
  admin_.Exec("UPDATE global_config SET deleted = 0" + row);
  admin_.Exec("DELETE FROM global_config" + row);
  admin_.InsertItem("global_config", "gone", "x", "arm", 1, 1);  // born withdrawn
  EXPECT_EQ(NewChanges(),
            (Changes{"global_config insert speed=1 arm 1 0", "global_config update speed=2 arm 1 0",
                     "global_config update speed=2 arm 1 1", "global_config update speed=3 arm 1 0",
                     "global_config update speed=3 arm 1 1"}));

  // Renaming an item withdraws the old name and brings in the new one.
  const auto file = admin_.InsertItem("custom_config", "a.yaml", "k: 1", "", 2);
  admin_.Exec("UPDATE custom_config SET name = 'b.yaml' WHERE id = " + std::to_string(file));
  EXPECT_EQ(NewChanges(), (Changes{"custom_config insert a.yaml=k: 1  2 0",
                                   "custom_config update a.yaml=k: 1  2 1",
                                   "custom_config update b.yaml=k: 1  2 0"}));
}

TEST_F(SchemaTest, LiveCustomItemHidesTheGlobalOneUntilWithdrawn) {
  const auto global = admin_.InsertItem("global_config", "speed", "1", "arm", 1);
  const auto custom = admin_.InsertItem("custom_config", "speed", "5", "arm", 1);
  admin_.Exec("UPDATE global_config SET value = '2' WHERE id = " + std::to_string(global));
  admin_.InsertItem("global_config", "speed", "3", "arm", 1);  // a second hidden global row
  EXPECT_EQ(NewChanges(), (Changes{"global_config insert speed=1 arm 1 0",
                                   "custom_config insert speed=5 arm 1 0"}));

  // Withdrawing the override brings back the newest live global row.
  admin_.Exec("DELETE FROM custom_config WHERE id = " + std::to_string(custom));
  EXPECT_EQ(NewChanges(), (Changes{"global_config update speed=3 arm 1 0"}));
  // Withdrawing that one falls back to the older global row, then to nothing.
  admin_.Exec("UPDATE global_config SET deleted = 1 WHERE value = '3'");
  admin_.Exec("UPDATE global_config SET deleted = 1 WHERE id = " + std::to_string(global));
  EXPECT_EQ(NewChanges(), (Changes{"global_config update speed=2 arm 1 0",
                                   "global_config update speed=2 arm 1 1"}));

  // Two live overrides: withdrawing one leaves the other in effect.
  admin_.InsertItem("global_config", "gain", "g", "arm", 1);
  const auto first = admin_.InsertItem("custom_config", "gain", "c1", "arm", 1);
  admin_.InsertItem("custom_config", "gain", "c2", "arm", 1);
  NewChanges();
  admin_.Exec("UPDATE custom_config SET deleted = 1 WHERE value = 'c2'");
  EXPECT_EQ(NewChanges(), (Changes{"custom_config update gain=c1 arm 1 0"}));
  admin_.Exec("UPDATE custom_config SET deleted = 1 WHERE id = " + std::to_string(first));
  EXPECT_EQ(NewChanges(), (Changes{"global_config update gain=g arm 1 0"}));
}

TEST_F(SchemaTest, KeyOfAParameterHasTheNodeAndOfAFileNot) {
  // A parameter of another node, or a file item of the same name, hides nothing.
  const auto param = admin_.InsertItem("global_config", "rate", "1", "arm", 1);
  admin_.InsertItem("custom_config", "rate", "9", "leg", 1);
  admin_.InsertItem("custom_config", "rate", "f", "arm", 2);
  admin_.Exec("UPDATE global_config SET value = '2' WHERE id = " + std::to_string(param));
  EXPECT_EQ(
      NewChanges(),
      (Changes{"global_config insert rate=1 arm 1 0", "custom_config insert rate=9 leg 1 0",
               "custom_config insert rate=f arm 2 0", "global_config update rate=2 arm 1 0"}));

  // The same file named under another node is still the same file.
  const auto file = admin_.InsertItem("global_config", "map.yaml", "g", "", 2);
  admin_.InsertItem("custom_config", "map.yaml", "c", "planner", 2);
  admin_.Exec("UPDATE global_config SET value = 'g2' WHERE id = " + std::to_string(file));
  EXPECT_EQ(NewChanges(), (Changes{"global_config insert map.yaml=g  2 0",
                                   "custom_config insert map.yaml=c planner 2 0"}));
}

TEST_F(SchemaTest, LoadingAgainKeepsDataAndLeavesOneSetOfTriggers) {
  admin_.InsertItem("global_config", "speed", "1", "arm", 1);
  ASSERT_TRUE(test::LoadSchema());
  EXPECT_EQ(admin_.Scalar("SELECT value FROM global_config WHERE name = 'speed'"), "1");
  NewChanges();
  admin_.InsertItem("global_config", "rate", "2", "arm", 1);
  EXPECT_EQ(NewChanges(), (Changes{"global_config insert rate=2 arm 1 0"}));
}

TEST_F(SchemaTest, RobotAccountReadsButCannotWrite) {
  MYSQL* robot = mysql_init(nullptr);
  ASSERT_NE(robot, nullptr);
  ASSERT_NE(
      mysql_real_connect(robot, "127.0.0.1", "robot", "fernsTWIGS@qa", "ROBOT", 3306, nullptr, 0),
      nullptr)
      << mysql_error(robot);
  EXPECT_EQ(mysql_query(robot, "SELECT COUNT(*) FROM custom_config"), 0) << mysql_error(robot);
  if (MYSQL_RES* result = mysql_store_result(robot)) {
    mysql_free_result(result);
  }
  EXPECT_NE(mysql_query(robot, "INSERT INTO custom_config (name) VALUES ('x')"), 0);
  EXPECT_EQ(mysql_errno(robot), 1142u) << mysql_error(robot);
  EXPECT_NE(mysql_query(robot, "CREATE TABLE ROBOT.other (a INT)"), 0);
  mysql_close(robot);
}

// What the public account may do, and nothing more: read ROBOT. Both host entries alike.
TEST_F(SchemaTest, RobotAccountHasOnlySelectOnRobot) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    std::vector<std::string> grants;
    for (const auto& row : admin_.Rows(std::string("SHOW GRANTS FOR 'robot'@'") + host + "'")) {
      std::string grant = row[0].value();
      grant = grant.substr(0, grant.find(" TO "));
      grants.push_back(grant);
    }
    std::sort(grants.begin(), grants.end());
    EXPECT_EQ(grants, (std::vector<std::string>{"GRANT SELECT ON `ROBOT`.*", "GRANT USAGE ON *.*"}))
        << host;
  }
}

// The error text of a statement the server refused, or "" when it ran.
std::string Refusal(test::AdminDb& db, const std::string& sql) {
  try {
    db.Exec(sql);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// A robot in a fleet replicates global_config (the replication filter names it); then only
// the replication thread, which applies rows under the fleet server's server id, writes it.
TEST_F(SchemaTest, RobotInAFleetTakesGlobalRowsOnlyFromReplication) {
  const auto id = std::to_string(admin_.InsertItem("global_config", "speed", "1", "arm", 1));
  NewChanges();
  struct FilterOff {
    ~FilterOff() { test::AdminDb().Exec("SET GLOBAL replicate_do_table = ''"); }
  } filter_off;
  admin_.Exec("SET GLOBAL replicate_do_table = 'ROBOT.other,ROBOT.global_config'");

  const std::string refused = "comes from the fleet";
  EXPECT_NE(
      Refusal(admin_, "INSERT INTO global_config (name, value) VALUES ('x', 'y')").find(refused),
      std::string::npos);
  EXPECT_NE(Refusal(admin_, "UPDATE global_config SET value = '2' WHERE id = " + id).find(refused),
            std::string::npos);
  EXPECT_NE(Refusal(admin_, "DELETE FROM global_config WHERE id = " + id).find(refused),
            std::string::npos);
  EXPECT_EQ(admin_.Scalar("SELECT value FROM global_config WHERE id = " + id), "1");
  EXPECT_EQ(admin_.Scalar("SELECT COUNT(*) FROM global_config"), "1");
  // Overrides stay local, and the change log says nothing of the refused writes.
  admin_.InsertItem("custom_config", "speed", "5", "arm", 1);
  EXPECT_EQ(NewChanges(), (Changes{"custom_config insert speed=5 arm 1 0"}));

  // As the replication thread: the row goes in and the triggers keep precedence.
  admin_.Exec("SET SESSION server_id = @@global.server_id + 1");
  admin_.Exec("UPDATE global_config SET value = '2' WHERE id = " + id);
  admin_.Exec("DELETE FROM custom_config WHERE name = 'speed'");
  EXPECT_EQ(NewChanges(), (Changes{"global_config update speed=2 arm 1 0"}));
  admin_.Exec("SET SESSION server_id = @@global.server_id");

  // Out of the fleet, global_config is the robot's own again.
  admin_.Exec("SET GLOBAL replicate_do_table = ''");
  EXPECT_EQ(Refusal(admin_, "UPDATE global_config SET value = '3' WHERE id = " + id), "");
  EXPECT_EQ(NewChanges(), (Changes{"global_config update speed=3 arm 1 0"}));
}

}  // namespace
}  // namespace config_center
