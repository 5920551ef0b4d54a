// What the node reports about itself and at which level, from snapshots made up here: no
// ROS, no database. The clocks are passed in, so ages and thresholds are exact.
#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "status/node_status.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using Clock = NodeStatus::Clock;

const Clock::time_point kNow = Clock::time_point(1h);

// 2026-12-09 10:15:07 local time: what the wall-clock texts are checked against.
NodeStatus::WallClock::time_point WallNow() {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 9;
  local.tm_hour = 10;
  local.tm_min = 15;
  local.tm_sec = 7;
  local.tm_isdst = -1;
  return NodeStatus::WallClock::from_time_t(std::mktime(&local));
}

StatusSnapshot AllWell() {
  StatusSnapshot snapshot;
  snapshot.position = 41;
  snapshot.newest_read = 41;
  snapshot.learns_of_changes = "a poll every 1 ms";
  snapshot.account_user = "config_center";
  snapshot.account_source = "/run/credentials/config_center.service/db.cnf";
  return snapshot;
}

TargetQueues::Held HeldFor(const std::string& node, Clock::duration age, size_t pending = 1) {
  return {Target{kParam, node}, "node " + node + " is not running", kNow - age, pending};
}

// The entry `name` of a status whose level must be the worst of what it publishes.
StatusEntry Entry(const NodeStatus& status, const std::string& name) {
  StatusLevel worst = StatusLevel::kOk;
  StatusEntry found;
  for (const StatusEntry& entry : status.Entries()) {
    worst = std::max(worst, entry.level);
    if (entry.name == name) found = entry;
  }
  EXPECT_EQ(status.level(), worst);
  EXPECT_EQ(found.name, name);
  return found;
}

std::string Value(const StatusEntry& entry, const std::string& key) {
  for (const auto& [k, v] : entry.values) {
    if (k == key) return v;
  }
  return "<no " + key + ">";
}

TEST(NodeStatus, AllWellIsOkAndSaysWhereTheLogIsAndHowFarBehind) {
  StatusSnapshot snapshot = AllWell();
  NodeStatus status(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kOk);
  EXPECT_FALSE(status.NextLevelChange());
  EXPECT_EQ(Entry(status, "Database").message, "connected");
  EXPECT_EQ(Entry(status, "Targets").message, "none held");
  EXPECT_EQ(Entry(status, "Last error").message, "none logged since start-up");
  StatusEntry log = Entry(status, "Change log");
  EXPECT_EQ(log.message, "followed after id 41");
  EXPECT_EQ(Value(log, "Learns of changes"), "a poll every 1 ms");
  EXPECT_EQ(Value(log, "Last passed over"), "none");

  snapshot.newest_read = 297;  // a backlog, read 256 rows a pass
  status = NodeStatus(snapshot, kNow, WallNow());
  EXPECT_EQ(Entry(status, "Change log").message, "followed after id 41, 256 rows still to read");
  snapshot.newest_read = 3;  // the log went back: resynchronised, not behind
  status = NodeStatus(snapshot, kNow, WallNow());
  EXPECT_EQ(Value(Entry(status, "Change log"), "Behind"), "0 rows");
}

TEST(NodeStatus, AHeldTargetWarnsOnceHeldForTheThresholdAndSaysWhoAndWhy) {
  StatusSnapshot snapshot = AllWell();
  snapshot.held = {HeldFor("arm", 1s, 3)};
  NodeStatus status(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kOk);
  // The moment it becomes a warning, so that it is published then and not a second later.
  EXPECT_EQ(status.NextLevelChange(), kNow - 1s + NodeStatus::kHeldTooLong);
  StatusEntry targets = Entry(status, "Targets");
  EXPECT_EQ(targets.message,
            "1 held for less than 3 s, node arm for 1.0 s: node arm is not running");
  EXPECT_EQ(Value(targets, "node arm"),
            "held since 2026-12-09 10:15:06.000 (1.0 s ago): node arm is not running; 3 changes "
            "waiting");

  status = NodeStatus(snapshot, kNow + 2s, WallNow() + 2s);  // exactly at the threshold
  EXPECT_EQ(status.level(), StatusLevel::kWarn);
  EXPECT_FALSE(status.NextLevelChange());  // only a release ends it
  EXPECT_EQ(Entry(status, "Targets").message,
            "1 held for more than 3 s, the longest node arm for 3.0 s: node arm is not running");

  // Several: the one held longest is named; a young one crossing later changes no level.
  snapshot.held = {HeldFor("arm", 5s),
                   HeldFor("gripper", 500ms),
                   {Target{kFile, "maps/site.yaml"}, "Permission denied", kNow - 20s, 1}};
  status = NodeStatus(snapshot, kNow, WallNow());
  EXPECT_EQ(Entry(status, "Targets").message,
            "2 held for more than 3 s, the longest file maps/site.yaml for 20.0 s: Permission "
            "denied; 1 held for less");
  EXPECT_NE(Value(Entry(status, "Targets"), "node gripper").find("1 change waiting"),
            std::string::npos);
  EXPECT_FALSE(status.NextLevelChange());
}

TEST(NodeStatus, ALostDatabaseOrAnUnreadableLogIsAnErrorAboveHeldTargets) {
  StatusSnapshot snapshot = AllWell();
  snapshot.pass_failure = "reading the change-log maximum: Can't connect to server";
  snapshot.pass_error_number = 2002;
  snapshot.failing_since = kNow - 4s;
  snapshot.held = {HeldFor("arm", 10s), HeldFor("gripper", 1s)};
  NodeStatus status(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kError);
  // Nothing changes by time while it lasts: the gripper crossing the threshold included.
  EXPECT_FALSE(status.NextLevelChange());
  StatusEntry database = Entry(status, "Database");
  EXPECT_EQ(database.level, StatusLevel::kError);
  EXPECT_EQ(database.message, "lost: " + snapshot.pass_failure);
  EXPECT_EQ(Value(database, "Lost since"), "2026-12-09 10:15:03.000 (4.0 s ago)");
  EXPECT_EQ(Entry(status, "Change log").message,
            "not followed while the database is lost; the position stays at id 41");
  EXPECT_EQ(Entry(status, "Targets").level, StatusLevel::kWarn);

  // A server that answers but refuses the read: the log's error, not the connection's.
  snapshot.pass_error_number = 1146;
  status = NodeStatus(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kError);
  EXPECT_EQ(Entry(status, "Database").level, StatusLevel::kOk);
  EXPECT_EQ(Entry(status, "Change log").level, StatusLevel::kError);
  EXPECT_EQ(Entry(status, "Change log").message, "cannot be read: " + snapshot.pass_failure);

  for (const unsigned int lost : {2002u, 2003u, 2006u, 2013u, 1053u, 1927u}) {
    EXPECT_TRUE(NodeStatus::ConnectionLost(lost)) << lost;
  }
  // 2000 is also the query layer's own failure (a column count that does not match), 1205 a
  // lock wait: the server is there.
  for (const unsigned int refused : {0u, 2000u, 1205u, 1146u}) {
    EXPECT_FALSE(NodeStatus::ConnectionLost(refused)) << refused;
  }
}

TEST(NodeStatus, APublicPasswordIsAWarningForAsLongAsTheNodeRuns) {
  StatusSnapshot snapshot = AllWell();
  EXPECT_EQ(Value(Entry(NodeStatus(snapshot, kNow, WallNow()), "Database"), "Account"),
            "config_center (/run/credentials/config_center.service/db.cnf)");
  snapshot.account_user = "robot";
  snapshot.account_source = "fixed in the program";
  snapshot.password_public = true;
  NodeStatus status(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kWarn);
  StatusEntry database = Entry(status, "Database");
  EXPECT_EQ(database.level, StatusLevel::kWarn);
  EXPECT_EQ(database.message,
            "connected; the password of its account robot is public (fixed in the program): run "
            "deploy/setup_robot.sh");
  EXPECT_EQ(Value(database, "Account"), "robot (fixed in the program)");
  EXPECT_EQ(Value(database, "Password"), "public: fixed in the program");
  // A young held target crossing the threshold later changes no level: it is a warning now.
  snapshot.held = {HeldFor("arm", 1s)};
  status = NodeStatus(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kWarn);
  EXPECT_FALSE(status.NextLevelChange());
  // A lost database is still an error, and still says the password is public.
  snapshot.pass_failure = "reading the change-log maximum: Can't connect to server";
  snapshot.pass_error_number = 2002;
  status = NodeStatus(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kError);
  database = Entry(status, "Database");
  EXPECT_EQ(database.level, StatusLevel::kError);
  EXPECT_EQ(database.message.rfind("lost: ", 0), 0u);
  EXPECT_NE(database.message.find("; the password of its account robot is public"),
            std::string::npos);
}

TEST(NodeStatus, WhatWasPassedOverAndTheLastErrorAreReportedWithoutRaisingTheLevel) {
  StatusSnapshot snapshot = AllWell();
  snapshot.passed_over = 2;
  snapshot.last_passed_over = "Change 17: config_type 7 is no known kind of item";
  snapshot.errors_logged = 5;
  snapshot.last_error = "Holding back node arm: node arm is not running";
  snapshot.last_error_at = WallNow() - 90s;
  const NodeStatus status(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kOk);
  EXPECT_EQ(Value(Entry(status, "Change log"), "Passed over"), "2");
  EXPECT_EQ(Value(Entry(status, "Change log"), "Last passed over"), snapshot.last_passed_over);
  const StatusEntry error = Entry(status, "Last error");
  EXPECT_EQ(error.message, snapshot.last_error);
  EXPECT_EQ(Value(error, "Logged at"), "2026-12-09 10:13:37.000 (90.0 s ago)");
  EXPECT_EQ(Value(error, "Errors logged"), "5");
}

}  // namespace
}  // namespace config_center
