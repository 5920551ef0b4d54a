// What the node reports about itself and at which level, from snapshots made up here: no
// ROS, no database. The clocks are passed in, so ages and thresholds are exact.
#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_center/node_status.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using Clock = NodeStatus::Clock;
using WallClock = NodeStatus::WallClock;

// 2026-12-09 10:15:07 local time: what the wall-clock texts are checked against.
WallClock::time_point WallNow() {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 9;
  local.tm_hour = 10;
  local.tm_min = 15;
  local.tm_sec = 7;
  local.tm_isdst = -1;
  return WallClock::from_time_t(std::mktime(&local));
}

const Clock::time_point kNow = Clock::time_point(1h);

StatusSnapshot AllWell() {
  StatusSnapshot snapshot;
  snapshot.position = 41;
  snapshot.newest_read = 41;
  snapshot.learns_of_changes = "poll every 1 ms";
  return snapshot;
}

TargetQueues::Held HeldFor(const std::string& node, Clock::duration age, size_t pending = 1) {
  return {Target{kParam, node}, "node " + node + " is not running", kNow - age, pending};
}

const StatusEntry& Entry(const std::vector<StatusEntry>& entries, const std::string& name) {
  for (const StatusEntry& entry : entries) {
    if (entry.name == name) return entry;
  }
  ADD_FAILURE() << "no entry " << name;
  static const StatusEntry none;
  return none;
}

std::string Value(const StatusEntry& entry, const std::string& key) {
  for (const auto& [k, v] : entry.values) {
    if (k == key) return v;
  }
  return "<no " + key + ">";
}

// The level the publisher compares must be the worst of what it publishes.
void ExpectLevelIsWorstEntry(const NodeStatus& status) {
  StatusLevel worst = StatusLevel::kOk;
  for (const StatusEntry& entry : status.Entries()) worst = std::max(worst, entry.level);
  EXPECT_EQ(status.level(), worst);
}

TEST(NodeStatus, AllWellIsOkAndSaysWhereTheLogIsAndHowChangesAreLearned) {
  const NodeStatus status(AllWell(), kNow, WallNow());
  ExpectLevelIsWorstEntry(status);
  EXPECT_EQ(status.level(), StatusLevel::kOk);
  EXPECT_FALSE(status.NextLevelChange());
  const auto entries = status.Entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(Entry(entries, "Database").message, "connected");
  const StatusEntry& log = Entry(entries, "Change log");
  EXPECT_EQ(log.message, "followed after id 41");
  EXPECT_EQ(Value(log, "Position"), "41");
  EXPECT_EQ(Value(log, "Behind"), "0 rows");
  EXPECT_EQ(Value(log, "Learns of changes"), "poll every 1 ms");
  EXPECT_EQ(Value(log, "Passed over"), "0");
  EXPECT_EQ(Value(log, "Last passed over"), "none");
  EXPECT_EQ(Entry(entries, "Targets").message, "none held");
  EXPECT_EQ(Entry(entries, "Last error").message, "none logged since start-up");
}

TEST(NodeStatus, ABacklogShowsHowFarBehindAndALogThatWentBackIsNotBehind) {
  StatusSnapshot snapshot = AllWell();
  snapshot.newest_read = 297;
  NodeStatus status(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kOk);
  EXPECT_EQ(Entry(status.Entries(), "Change log").message,
            "followed after id 41, 256 rows still to read");
  EXPECT_EQ(Value(Entry(status.Entries(), "Change log"), "Behind"), "256 rows");

  snapshot.newest_read = 3;  // emptied and refilled: resynchronised on the next pass
  status = NodeStatus(snapshot, kNow, WallNow());
  EXPECT_EQ(Value(Entry(status.Entries(), "Change log"), "Behind"), "0 rows");
}

TEST(NodeStatus, AHeldTargetWarnsOnlyOnceHeldForTheThresholdAndSaysWhoAndWhy) {
  StatusSnapshot snapshot = AllWell();
  snapshot.held = {HeldFor("arm", 1s, 3)};
  snapshot.changes_queued = 3;
  {
    const NodeStatus status(snapshot, kNow, WallNow());
    ExpectLevelIsWorstEntry(status);
    EXPECT_EQ(status.level(), StatusLevel::kOk);
    // The moment it will become a warning, so that it is published then and not a tick later.
    ASSERT_TRUE(status.NextLevelChange());
    EXPECT_EQ(*status.NextLevelChange(), kNow - 1s + NodeStatus::kHeldTooLong);
    const StatusEntry targets = Entry(status.Entries(), "Targets");
    EXPECT_EQ(targets.message,
              "1 held for less than 3 s, node arm for 1.0 s: node arm is not running");
    EXPECT_EQ(Value(targets, "node arm"),
              "held since 2026-12-09 10:15:06.000 (1.0 s ago): node arm is not running; 3 changes "
              "waiting");
    EXPECT_EQ(Value(targets, "Changes queued"), "3");
  }
  {  // Exactly at the threshold.
    const NodeStatus status(snapshot, kNow + 2s, WallNow() + 2s);
    ExpectLevelIsWorstEntry(status);
    EXPECT_EQ(status.level(), StatusLevel::kWarn);
    EXPECT_FALSE(status.NextLevelChange());  // only a release ends it
    EXPECT_EQ(Entry(status.Entries(), "Targets").message,
              "1 held for more than 3 s, the longest node arm for 3.0 s: node arm is not running");
  }
}

TEST(NodeStatus, SeveralHeldTargetsNameTheLongestAndEachIsListed) {
  StatusSnapshot snapshot = AllWell();
  TargetQueues::Held file{Target{kFile, "maps/site.yaml"}, "cannot write: Permission denied",
                          kNow - 20s, 1};
  snapshot.held = {HeldFor("arm", 5s), HeldFor("gripper", 500ms), file};
  const NodeStatus status(snapshot, kNow, WallNow());
  ExpectLevelIsWorstEntry(status);
  EXPECT_EQ(status.level(), StatusLevel::kWarn);
  const StatusEntry targets = Entry(status.Entries(), "Targets");
  EXPECT_EQ(targets.message,
            "2 held for more than 3 s, the longest file maps/site.yaml for 20.0 s: cannot write: "
            "Permission denied; 1 held for less");
  EXPECT_NE(Value(targets, "node arm").find("(5.0 s ago)"), std::string::npos);
  EXPECT_NE(Value(targets, "node gripper").find("1 change waiting"), std::string::npos);
  EXPECT_NE(Value(targets, "file maps/site.yaml").find("Permission denied"), std::string::npos);
  // A young one crossing the threshold changes no level: the status is a warning already.
  EXPECT_FALSE(status.NextLevelChange());
}

TEST(NodeStatus, ALostDatabaseIsAnErrorAboveHeldTargetsUntilAPassReadsTheLog) {
  StatusSnapshot snapshot = AllWell();
  snapshot.pass_failure =
      "reading the change-log maximum: Can't connect to server on '127.0.0.1' (111)";
  snapshot.pass_error_number = 2002;
  snapshot.failing_since = kNow - 4s;
  snapshot.held = {HeldFor("arm", 10s), HeldFor("gripper", 1s)};
  const NodeStatus status(snapshot, kNow, WallNow());
  ExpectLevelIsWorstEntry(status);
  EXPECT_EQ(status.level(), StatusLevel::kError);
  // No time-driven change while it lasts: the gripper crossing the threshold changes nothing.
  EXPECT_FALSE(status.NextLevelChange());
  const auto entries = status.Entries();
  const StatusEntry& database = Entry(entries, "Database");
  EXPECT_EQ(database.level, StatusLevel::kError);
  EXPECT_EQ(database.message, "lost: " + snapshot.pass_failure);
  EXPECT_EQ(Value(database, "Lost since"), "2026-12-09 10:15:03.000 (4.0 s ago)");
  const StatusEntry& log = Entry(entries, "Change log");
  EXPECT_EQ(log.level, StatusLevel::kError);
  EXPECT_EQ(log.message, "not followed while the database is lost; the position stays at id 41");
  EXPECT_EQ(Entry(entries, "Targets").level, StatusLevel::kWarn);
}

TEST(NodeStatus, ALogTheServerRefusesToReadIsAnErrorOfTheLogNotOfTheConnection) {
  StatusSnapshot snapshot = AllWell();
  snapshot.pass_failure =
      "reading the changes after 41: Table 'ROBOT.config_table_changes' "
      "doesn't exist";
  snapshot.pass_error_number = 1146;
  snapshot.failing_since = kNow - 1s;
  const NodeStatus status(snapshot, kNow, WallNow());
  ExpectLevelIsWorstEntry(status);
  EXPECT_EQ(status.level(), StatusLevel::kError);
  const auto entries = status.Entries();
  EXPECT_EQ(Entry(entries, "Database").level, StatusLevel::kOk);
  EXPECT_EQ(Entry(entries, "Database").message, "connected");
  const StatusEntry& log = Entry(entries, "Change log");
  EXPECT_EQ(log.level, StatusLevel::kError);
  EXPECT_EQ(log.message, "cannot be read: " + snapshot.pass_failure);
  EXPECT_EQ(Value(log, "Failing since"), "2026-12-09 10:15:06.000 (1.0 s ago)");
}

TEST(NodeStatus, ConnectionErrorsAreToldFromStatementsTheServerRefused) {
  for (const unsigned int lost : {2002u, 2003u, 2006u, 2013u, 1053u, 1927u}) {
    EXPECT_TRUE(NodeStatus::ConnectionLost(lost)) << lost;
  }
  // 2000 is also the query layer's own failure (a column count that does not match), 1205 a
  // lock wait, 1146 a missing table: the server is there.
  for (const unsigned int refused : {0u, 2000u, 1205u, 1146u, 1064u}) {
    EXPECT_FALSE(NodeStatus::ConnectionLost(refused)) << refused;
  }
}

TEST(NodeStatus, WhatWasPassedOverAndTheLastErrorAreReportedWithoutRaisingTheLevel) {
  StatusSnapshot snapshot = AllWell();
  snapshot.passed_over = 2;
  snapshot.last_passed_over = "Change 17: config_type 7 is no known kind of item";
  snapshot.ids_given_up = 3;
  snapshot.late_ids_waited = true;
  snapshot.errors_logged = 5;
  snapshot.last_error = "Holding back node arm: node arm is not running";
  snapshot.last_error_at = WallNow() - 90s;
  const NodeStatus status(snapshot, kNow, WallNow());
  EXPECT_EQ(status.level(), StatusLevel::kOk);
  const auto entries = status.Entries();
  const StatusEntry& log = Entry(entries, "Change log");
  EXPECT_EQ(Value(log, "Passed over"), "2");
  EXPECT_EQ(Value(log, "Last passed over"), snapshot.last_passed_over);
  EXPECT_EQ(Value(log, "Ids given up"), "3");
  EXPECT_EQ(Value(log, "Late ids waited for"), "yes");
  const StatusEntry& error = Entry(entries, "Last error");
  EXPECT_EQ(error.level, StatusLevel::kOk);
  EXPECT_EQ(error.message, snapshot.last_error);
  EXPECT_EQ(Value(error, "Logged at"), "2026-12-09 10:13:37.000 (90.0 s ago)");
  EXPECT_EQ(Value(error, "Errors logged"), "5");
}

}  // namespace
}  // namespace config_center
