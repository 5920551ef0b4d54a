// The node as it runs on a robot: real config_center and target node processes over DDS,
// the isolated MariaDB, and the files on disk.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "support/node_account.hpp"
#include "support/node_test.hpp"

namespace config_center::test {
namespace {

// How many threads of the process `pid` would take SIGINT or SIGTERM (do not block both),
// read from each thread's SigBlk mask in /proc.
int ThreadsTakingStopSignals(pid_t pid) {
  const unsigned long long stop_bits = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
  int taking = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigBlk:", 0) != 0) continue;
      const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
      if ((blocked & stop_bits) != stop_bits) ++taking;
    }
  }
  return taking;
}

// The signal thread shows the two signals unblocked only while it sits in sigwait(); on a
// loaded machine it may not have got there yet, so none is given a moment. More than one
// taking them fails at once.
int ThreadsTakingStopSignalsOnceSettled(pid_t pid) {
  int taking = 0;
  for (int tries = 0; tries < 200; ++tries) {
    taking = ThreadsTakingStopSignals(pid);
    if (taking != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return taking;
}

class NodeEndToEnd : public NodeTest {
protected:
  // Fresh tables every time: some cases take a table or a column away.
  void PrepareTables() override {
    db_->Exec("DROP TABLE IF EXISTS global_config, custom_config, config_table_changes");
    ASSERT_TRUE(LoadSchema());
  }
};

TEST_F(NodeEndToEnd, StartupSendsTheValuesInEffectAndTriggersKeepPrecedence) {
  auto target = StartTarget({"--name", "arm", "--string", "speed=0", "--string", "mode=idle"});
  db_->InsertItem("global_config", "speed", "10", "arm", 1);
  db_->InsertItem("custom_config", "speed", "25", "arm", 1);
  db_->InsertItem("global_config", "mode", "auto", "arm", 1);
  db_->InsertItem("global_config", "arm.yaml", "global: 1\n", "", 2);
  db_->InsertItem("custom_config", "arm.yaml", "custom: 1\n", "", 2);
  db_->InsertItem("global_config", "gone.yaml", "never", "", 2, /*deleted=*/1);

  auto center = StartReady();
  // The custom value is the one in effect, and the only one sent: a calibrated value is never
  // replaced by the fleet default, not even for a moment.
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"25\"", 1s)) << target->Output();
  EXPECT_EQ(target->Count("value=\"10\""), 0u) << target->Output();
  EXPECT_EQ(target->Count("set arm.mode type=string value=\"auto\""), 1u);
  std::string contents;
  ASSERT_TRUE(ReadFile(Config("arm.yaml"), &contents));
  EXPECT_EQ(contents, "custom: 1\n");
  EXPECT_FALSE(FileExists(Config("gone.yaml")));
  struct stat info {};
  ASSERT_EQ(::stat(Config("arm.yaml").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A global change under a live custom override stays hidden.
  db_->Exec("UPDATE global_config SET value = '11' WHERE name = 'speed'");
  // Withdrawing the override brings the global item back.
  db_->Exec("DELETE FROM custom_config WHERE name = 'speed'");
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"11\"", 3s)) << target->Output();
  EXPECT_EQ(target->Count("value=\"11\""), 1u);
  // A new override takes effect at once.
  db_->InsertItem("custom_config", "speed", "30", "arm", 1);
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"30\"", 3s)) << target->Output();

  EXPECT_EQ(LogTail::CountIn(log_.Since(), "ConfigDistribute table : global_config"), 1u);
  EXPECT_LT(log_.Since().find("ConfigDistribute table : global_config"),
            log_.Since().find("ConfigDistribute table : custom_config"));
  Stop(*center);
  Stop(*target);
}

TEST_F(NodeEndToEnd, FailedStartupsExitWith255AndSayWhy) {
  {  // A table that cannot be read fails start-up instead of reading as empty.
    db_->Exec("ALTER TABLE custom_config RENAME COLUMN node_name TO node_name_x");
    auto center = StartConfigCenter();
    const auto status = center->Wait(kStartup);
    db_->Exec("ALTER TABLE custom_config RENAME COLUMN node_name_x TO node_name");
    EXPECT_EQ(status, 255) << center->Output();
    EXPECT_TRUE(log_.WaitFor("Distribute custom_config failed!", 1s)) << log_.Since();
  }
  {  // The database unreachable: the client's text, then the failure line; no service.
    ASSERT_EQ(std::system("db-stop"), 0);
    auto center = StartConfigCenter();
    const auto status = center->Wait(kStartup);
    ASSERT_EQ(std::system("db-start"), 0);
    EXPECT_EQ(status, 255);
    const std::string out = center->Output();
    EXPECT_NE(out.find("Can't connect"), std::string::npos) << out;
    EXPECT_LT(out.find("Can't connect"), out.find("config center init failed")) << out;
    EXPECT_TRUE(log_.WaitFor("Connect sql failed", 1s));
  }
}

TEST_F(NodeEndToEnd, MissingTableReadsAsEmpty) {
  db_->InsertItem("global_config", "only.yaml", "x", "", 2);
  db_->Exec("DROP TABLE custom_config");
  auto center = StartReady();
  EXPECT_TRUE(FileExists(Config("only.yaml")));
  EXPECT_EQ(log_.Count("[1146] Table 'ROBOT.custom_config' doesn't exist"), 1u) << log_.Since();
  Stop(*center);
}

TEST_F(NodeEndToEnd, ChangesReachTargetsWithinMilliseconds) {
  auto target = StartTarget({"--name", "cam", "--string", "fps=0"});
  auto center = StartReady();

  // The file: from the committed insert to its contents on disk.
  const std::string contents = "width: 640\nheight: 480\n";
  auto start = std::chrono::steady_clock::now();
  db_->InsertItem("global_config", "cam.yaml", contents, "", 2);
  ASSERT_TRUE(WaitForFile(Config("cam.yaml"), &contents, 2s));
  const auto file_latency = std::chrono::steady_clock::now() - start;

  // The parameter: from the committed insert to the target's set.
  start = std::chrono::steady_clock::now();
  db_->InsertItem("global_config", "fps", "30", "cam", 1);
  ASSERT_TRUE(target->WaitFor("set cam.fps type=string value=\"30\"", 2s)) << target->Output();
  const auto param_latency = std::chrono::steady_clock::now() - start;

  const auto us = [](auto d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
  };
  std::printf("change to file on disk: %lld us, change to parameter at node: %lld us\n",
              static_cast<long long>(us(file_latency)), static_cast<long long>(us(param_latency)));
  RecordProperty("file_latency_us", static_cast<int>(us(file_latency)));
  RecordProperty("param_latency_us", static_cast<int>(us(param_latency)));
  EXPECT_LT(file_latency, 200ms);
  EXPECT_LT(param_latency, 200ms);

  // Two changes of one item in one pass: the later value wins.
  db_->Exec("UPDATE global_config SET value = 'v1' WHERE name = 'cam.yaml'");
  db_->Exec("UPDATE global_config SET value = 'v2' WHERE name = 'cam.yaml'");
  const std::string v2 = "v2";
  EXPECT_TRUE(WaitForFile(Config("cam.yaml"), &v2, 2s));
  Stop(*center);
}

TEST_F(NodeEndToEnd, WithdrawalsUnsetParametersAndRemoveFiles) {
  auto target = StartTarget({"--name", "lidar", "--allow-undeclared"});
  db_->InsertItem("global_config", "range", "40", "lidar", 1);
  db_->InsertItem("global_config", "lidar.yaml", "r: 40", "", 2);
  auto center = StartReady();
  ASSERT_TRUE(target->WaitFor("set lidar.range", 2s)) << target->Output();
  ASSERT_TRUE(FileExists(Config("lidar.yaml")));

  db_->Exec("DELETE FROM global_config WHERE name = 'range'");
  EXPECT_TRUE(target->WaitFor("unset lidar.range", 2s)) << target->Output();
  EXPECT_TRUE(log_.WaitFor("Delete node_name : lidar ,  param range", 1s));

  db_->Exec("UPDATE global_config SET deleted = 1 WHERE name = 'lidar.yaml'");
  EXPECT_TRUE(WaitForFile(Config("lidar.yaml"), nullptr, 2s));
  // A second withdrawal (written to the change log by hand: the triggers log none for a row
  // that is already deleted) finds nothing, says so, and does not hold back what follows.
  db_->Exec(
      "INSERT INTO config_table_changes (source_table, name, value, node_name, change_type, "
      "config_type, deleted) VALUES ('global_config', 'lidar.yaml', '', '', 'update', 2, 1)");
  db_->InsertItem("global_config", "after.yaml", "after", "", 2);
  const std::string after = "after";
  EXPECT_TRUE(WaitForFile(Config("after.yaml"), &after, 2s));
  // Another target: it need not wait for after.yaml, nor after.yaml for it.
  EXPECT_TRUE(log_.WaitFor("Failed to delete config file lidar.yaml", 1s)) << log_.Since();
  EXPECT_EQ(log_.Count("Failed to delete config file lidar.yaml"), 1u) << log_.Since();

  // Names that would leave the configs directory are refused, and nothing outside is touched.
  db_->InsertItem("global_config", "../escape.yaml", "x", "", 2);
  EXPECT_TRUE(log_.WaitFor("Refused config file name \"../escape.yaml\"", 2s)) << log_.Since();
  EXPECT_FALSE(FileExists("/opt/velgar/escape.yaml"));
  Stop(*center);
}

TEST_F(NodeEndToEnd, SlowTargetIsRetriedWithABackOffAndHoldsBackOnlyItself) {
  auto slow = StartTarget({"--name", "late", "--string", "gain=1", "--delay-ms", "1500"});
  auto center = StartReady();
  // A target slower than the deadline never counts as answered: its change is tried again,
  // at growing intervals, while every other target goes on at once.
  db_->InsertItem("global_config", "gain", "3", "late", 1);
  db_->InsertItem("global_config", "behind.yaml", "b", "", 2);
  const std::string b = "b";
  EXPECT_TRUE(WaitForFile(Config("behind.yaml"), &b, 200ms)) << log_.Since();
  EXPECT_TRUE(log_.WaitFor("Holding back node late: node late did not answer within 1 s", 3s))
      << log_.Since();
  std::this_thread::sleep_for(4s);
  // Each attempt costs the target one second; back to back that would be five or more.
  const size_t attempts = slow->Count("set late.gain");
  EXPECT_GE(attempts, 2u) << slow->Output();
  EXPECT_LE(attempts, 4u) << slow->Output();
  EXPECT_EQ(log_.Count("Holding back node late"), 1u) << log_.Since();
  EXPECT_EQ(log_.Count("ParamConfigDistribute, node_name : late, gain : 3"), 1u);

  // Stopped in order: a killed node's endpoints linger in DDS until their lease runs out.
  Stop(*slow);
  auto fast = StartTarget({"--name", "late", "--string", "gain=1"});
  EXPECT_TRUE(fast->WaitFor("set late.gain type=string value=\"3\"", 3s)) << fast->Output();
  EXPECT_TRUE(log_.WaitFor("Released node late", 1s)) << log_.Since();
  Stop(*center);
}

TEST_F(NodeEndToEnd, FileThatCannotBeWrittenIsHeldQuietlyAndWrittenOnceMended) {
  auto center = StartReady();
  // A file where the item needs a directory: this item waits until someone mends it.
  std::ofstream(Config("later")) << "in the way";
  db_->InsertItem("global_config", "later/held.yaml", "h", "", 2);
  db_->InsertItem("global_config", "behind.yaml", "b", "", 2);
  const std::string b = "b";
  EXPECT_TRUE(WaitForFile(Config("behind.yaml"), &b, 200ms)) << log_.Since();
  ASSERT_TRUE(log_.WaitFor("Holding back file later/held.yaml", 1s)) << log_.Since();
  std::this_thread::sleep_for(2200ms);
  // Retried all along, logged once: no line per retry.
  EXPECT_EQ(log_.Count("FileConfigDistribute: later/held.yaml"), 1u) << log_.Since();
  EXPECT_EQ(log_.Count("Holding back file later/held.yaml"), 1u) << log_.Since();
  // Its error line, and the same reason in the hold line.
  EXPECT_EQ(log_.Count("Failed to make the directories of later/held.yaml"), 2u) << log_.Since();
  EXPECT_EQ(log_.Count("can never be applied"), 0u) << log_.Since();

  // Mended, the held file goes in within about a second, and the target is released.
  ASSERT_EQ(::unlink(Config("later").c_str()), 0);
  const std::string h = "h";
  EXPECT_TRUE(WaitForFile(Config("later/held.yaml"), &h, 1500ms)) << log_.Since();
  EXPECT_TRUE(log_.WaitFor("Released file later/held.yaml", 1s)) << log_.Since();
  Stop(*center);
}

TEST_F(NodeEndToEnd, RowsThatCanNeverBeAppliedArePassedOverOnce) {
  auto target = StartTarget({"--name", "arm", "--string", "speed=0"});
  auto center = StartReady();
  db_->InsertItem("global_config", "odd", "1", "arm", 7);
  // No node can have this name; the client library refuses the service name.
  db_->InsertItem("global_config", "p", "1", "bad name", 1);
  // The client library would expand this into its own node's name: a call to the wrong node.
  db_->InsertItem("global_config", "q", "1", "{node}", 1);
  db_->InsertItem("global_config", "../escape.yaml", "x", "", 2);
  // Their withdrawals cannot be applied either.
  db_->Exec("UPDATE global_config SET deleted = 1 WHERE name IN ('p', '../escape.yaml')");
  db_->InsertItem("global_config", "speed", "5", "arm", 1);
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"5\"", 3s)) << log_.Since();

  // A few hundred ticks later each was still logged once, with its id and the reason.
  std::this_thread::sleep_for(300ms);
  const auto id_of = [&](const std::string& where) {
    return *db_->Scalar("SELECT id FROM config_table_changes WHERE " + where);
  };
  const std::string log = log_.Since();
  const std::pair<std::string, std::string> rows[] = {
      {id_of("config_type = 7"), "config_type 7 is no known kind of item"},
      {id_of("name = 'p' AND deleted = 0"), "node_name \"bad name\" makes no valid service name"},
      {id_of("name = 'p' AND deleted = 1"), "node_name \"bad name\" makes no valid service name"},
      {id_of("name = 'q'"), "node_name \"{node}\" makes no valid service name"},
      {id_of("name = '../escape.yaml' AND deleted = 0"),
       "the file name \"../escape.yaml\" is refused"},
      {id_of("name = '../escape.yaml' AND deleted = 1"),
       "the file name \"../escape.yaml\" is refused"},
  };
  for (const auto& [id, why] : rows) {
    EXPECT_EQ(LogTail::CountIn(
                  log, "Change " + id + " can never be applied, so it is passed over: " + why),
              1u)
        << id << " " << why << "\n"
        << log;
  }
  EXPECT_EQ(LogTail::CountIn(log, "Unknow config type"), 1u);
  // Refused before any call is made.
  EXPECT_EQ(LogTail::CountIn(log, "Set parameters call to /bad name/set_parameters"), 0u);
  EXPECT_FALSE(FileExists("/opt/velgar/escape.yaml"));
  Stop(*center);
  Stop(*target);
}

TEST_F(NodeEndToEnd, RefusedParameterIsLoggedWithTheTargetsReason) {
  // The target declares only count and allows no others, so it refuses ghost.
  auto target = StartTarget({"--name", "arm", "--int", "count=3"});
  auto center = StartReady();
  db_->InsertItem("global_config", "ghost", "x", "arm", 1);
  db_->InsertItem("global_config", "next.yaml", "n", "", 2);
  ASSERT_TRUE(target->WaitFor("refused arm.ghost reason=", 2s)) << target->Output();
  const std::string out = target->Output();
  const size_t from = out.find("refused arm.ghost reason=") + 25;
  const std::string reason = out.substr(from, out.find('\n', from) - from);
  ASSERT_FALSE(reason.empty());
  // Handled all the same: the row behind it is not held back.
  const std::string n = "n";
  EXPECT_TRUE(WaitForFile(Config("next.yaml"), &n, 2s));
  EXPECT_TRUE(log_.WaitFor("Node /arm refused parameter ghost: " + reason, 1s)) << log_.Since();
  EXPECT_EQ(log_.Count("refused parameter"), 1u);
  Stop(*center);
  Stop(*target);
}

TEST_F(NodeEndToEnd, ChangeCommittedWhileStartupIsBusyIsApplied) {
  // Each set takes this target 600 ms, so start-up is still busy when the changes commit.
  auto slow = StartTarget({"--name", "slow", "--string", "gain=0", "--delay-ms", "600"});
  db_->InsertItem("global_config", "gain", "1", "slow", 1);
  auto center = StartConfigCenter();
  ASSERT_TRUE(log_.WaitFor("ParamConfigDistribute, node_name : slow, gain : 1", kStartup))
      << center->Output();
  // global_config has been read: these reach the targets through the change log only.
  db_->Exec("UPDATE global_config SET value = '2' WHERE name = 'gain'");
  db_->InsertItem("global_config", "during.yaml", "d", "", 2);
  ASSERT_TRUE(WaitUntilReady(log_, *center, kStartup)) << center->Output();
  EXPECT_TRUE(slow->WaitFor("set slow.gain type=string value=\"1\"", 3s)) << slow->Output();
  EXPECT_TRUE(slow->WaitFor("set slow.gain type=string value=\"2\"", 3s)) << slow->Output();
  const std::string d = "d";
  EXPECT_TRUE(WaitForFile(Config("during.yaml"), &d, 3s)) << log_.Since();
  Stop(*center);
  Stop(*slow);
}

TEST_F(NodeEndToEnd, LateCommitIsAppliedUnlessANewerChangeOfItsItemCameFirst) {
  auto target = StartTarget({"--name", "arm", "--string", "speed=0"});
  auto center = StartReady();
  AdminDb open_tx;
  open_tx.Exec("BEGIN");
  open_tx.InsertItem("global_config", "late.yaml", "late", "", 2);
  open_tx.InsertItem("global_config", "speed", "1", "arm", 1);
  const std::string late_speed =
      *open_tx.Scalar("SELECT id FROM config_table_changes WHERE name = 'speed'");
  // Later changes commit first and are applied at once, past the ids still missing.
  db_->InsertItem("global_config", "speed", "2", "arm", 1);
  db_->InsertItem("global_config", "after.yaml", "after", "", 2);
  const std::string after = "after";
  ASSERT_TRUE(WaitForFile(Config("after.yaml"), &after, 2s)) << log_.Since();
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"2\"", 2s)) << target->Output();
  EXPECT_FALSE(FileExists(Config("late.yaml")));

  open_tx.Exec("COMMIT");
  // The late file is applied; the late speed is older in the log than the speed in effect,
  // so it stays out (a restart would also end with speed 2).
  const std::string late = "late";
  EXPECT_TRUE(WaitForFile(Config("late.yaml"), &late, 2s)) << log_.Since();
  EXPECT_TRUE(
      log_.WaitFor("Change " + late_speed + " committed late; the log holds a newer change", 1s))
      << log_.Since();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(target->Count("value=\"1\""), 0u) << target->Output();
  EXPECT_EQ(log_.Count("ParamConfigDistribute, node_name : arm, speed : 1"), 0u);
  EXPECT_EQ(log_.Count("FileConfigDistribute: late.yaml"), 1u);
  EXPECT_EQ(log_.Count("Gave up waiting"), 0u);
  Stop(*center);
  Stop(*target);
}

TEST_F(NodeEndToEnd, TransactionOpenAcrossStartupIsAppliedWhenItCommits) {
  {  // A hole left long ago, below rows older than the give-up wait: not waited for.
    AdminDb rolled_back;
    rolled_back.Exec("BEGIN");
    rolled_back.InsertItem("global_config", "ancient.yaml", "x", "", 2);
    rolled_back.Exec("ROLLBACK");
  }
  db_->InsertItem("global_config", "old.yaml", "o", "", 2);
  db_->Exec("UPDATE config_table_changes SET changed_at = NOW(3) - INTERVAL 1 HOUR");
  AdminDb open_tx;
  open_tx.Exec("BEGIN");
  open_tx.InsertItem("global_config", "across.yaml", "a", "", 2);
  const std::string open_id =
      *open_tx.Scalar("SELECT id FROM config_table_changes WHERE name = 'across.yaml'");
  db_->InsertItem("global_config", "before.yaml", "b", "", 2);

  auto center = StartReady();
  EXPECT_TRUE(FileExists(Config("before.yaml")));
  EXPECT_FALSE(FileExists(Config("across.yaml")));
  EXPECT_EQ(log_.Count("Change-log ids missing at start-up, waited for: id in (" + open_id + ")\n"),
            1u)
      << log_.Since();
  // Committed after start-up read the tables: its row is all that brings the change.
  open_tx.Exec("COMMIT");
  const std::string a = "a";
  EXPECT_TRUE(WaitForFile(Config("across.yaml"), &a, 2s)) << log_.Since();
  Stop(*center);
}

TEST_F(NodeEndToEnd, HoleOfARolledBackInsertHoldsNothingBackAndOutlivesADatabaseRestart) {
  auto center = StartReady();
  std::string hole;
  {
    AdminDb rolled_back;
    rolled_back.Exec("BEGIN");
    rolled_back.InsertItem("global_config", "never.yaml", "n", "", 2);
    hole = *rolled_back.Scalar("SELECT MAX(id) FROM config_table_changes");
    rolled_back.Exec("ROLLBACK");
  }
  const auto start = std::chrono::steady_clock::now();
  db_->InsertItem("global_config", "next.yaml", "x", "", 2);
  const std::string x = "x";
  ASSERT_TRUE(WaitForFile(Config("next.yaml"), &x, 2s)) << log_.Since();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);

  ASSERT_EQ(std::system("db-restart 1"), 0);
  db_ = std::make_unique<AdminDb>();
  // The transaction that took the id is gone with the old server; a row written under that id
  // by hand stands in for one that commits now.
  db_->Exec(
      "INSERT INTO config_table_changes (id, source_table, name, value, node_name, change_type, "
      "config_type, deleted) VALUES (" +
      hole + ", 'global_config', 'filled.yaml', 'f', '', 'insert', 2, 0)");
  const std::string f = "f";
  EXPECT_TRUE(WaitForFile(Config("filled.yaml"), &f, 5s)) << log_.Since();
  // The position outlived the restart as well: nothing was applied a second time.
  EXPECT_EQ(log_.Count("FileConfigDistribute: next.yaml"), 1u) << log_.Since();
  Stop(*center);
}

TEST_F(NodeEndToEnd, HoleIsGivenUpOnceAfterTheWait) {
  // A short wait through the test-only variable; the node reads it at start-up.
  ::setenv("CONFIG_CENTER_TEST_GIVE_UP_MS", "300", 1);
  auto center = StartReady();
  ::unsetenv("CONFIG_CENTER_TEST_GIVE_UP_MS");
  std::string hole;
  {
    AdminDb rolled_back;
    rolled_back.Exec("BEGIN");
    rolled_back.InsertItem("global_config", "never.yaml", "n", "", 2);
    hole = *rolled_back.Scalar("SELECT MAX(id) FROM config_table_changes");
    rolled_back.Exec("ROLLBACK");
  }
  db_->InsertItem("global_config", "next.yaml", "x", "", 2);
  const std::string x = "x";
  ASSERT_TRUE(WaitForFile(Config("next.yaml"), &x, 2s)) << log_.Since();
  EXPECT_TRUE(log_.WaitFor("Gave up waiting for change-log id " + hole + ": missing for", 2s))
      << log_.Since();
  // Given up means forgotten: a row under that id now is not applied, and nothing is logged
  // about the id again.
  db_->Exec(
      "INSERT INTO config_table_changes (id, source_table, name, value, node_name, change_type, "
      "config_type, deleted) VALUES (" +
      hole + ", 'global_config', 'too_late.yaml', 't', '', 'insert', 2, 0)");
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(FileExists(Config("too_late.yaml")));
  EXPECT_EQ(log_.Count("Gave up waiting"), 1u) << log_.Since();
  Stop(*center);
}

TEST_F(NodeEndToEnd, DatabaseRestartLosesNoChangeAndDoesNotFloodTheLog) {
  auto center = StartReady();
  db_->InsertItem("global_config", "before.yaml", "1", "", 2);
  const std::string one = "1";
  ASSERT_TRUE(WaitForFile(Config("before.yaml"), &one, 2s));

  ASSERT_EQ(std::system("db-restart 2"), 0);
  db_ = std::make_unique<AdminDb>();
  db_->InsertItem("global_config", "after.yaml", "2", "", 2);
  const std::string two = "2";
  EXPECT_TRUE(WaitForFile(Config("after.yaml"), &two, 5s)) << log_.Since();

  // Two seconds down at one tick a millisecond: the failure is written about once a second.
  const size_t failures = log_.Count("Get increment next id failed");
  EXPECT_GE(failures, 1u);
  EXPECT_LE(failures, 6u) << log_.Since();
  EXPECT_NE(log_.Since().find("more times; those repeats were left out"), std::string::npos);
  Stop(*center);
}

// Reading rows with a SELECT: polling, as here (the account may not read the binary log for
// this test). The row statement fails while the column is away; the maximum can still be read.
TEST_F(NodeEndToEnd, FailedRowReadKeepsThePosition) {
  const bool binary_log = db_->Scalar("SELECT @@global.log_bin") == "1";
  struct GrantBackAtEnd {
    AdminDb& db;
    bool revoked;
    ~GrantBackAtEnd() {
      if (!revoked) return;
      for (const char* host : {"127.0.0.1", "localhost"}) {
        db.Exec("GRANT REPLICATION SLAVE ON *.* TO " + db.Quote(user) + "@" + db.Quote(host));
      }
    }
    std::string user;
  } grant_back{*db_, binary_log, test::InstalledNodeAccount().user};
  if (binary_log) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
      db_->Exec("REVOKE REPLICATION SLAVE ON *.* FROM " + db_->Quote(grant_back.user) + "@" +
                db_->Quote(host));
    }
  }
  auto center = StartReady();
  db_->Exec("ALTER TABLE config_table_changes RENAME COLUMN value TO value_x");
  // The statement wakes the node too, with no rows to take: it reads with a SELECT, which
  // fails now. Let that pass be over first: a commit taken together with the statement's
  // would be read the same way (a schema changed is read, not trusted to the log's rows).
  ASSERT_TRUE(log_.WaitFor("Unknown column 'value'", 5s)) << log_.Since();
  db_->Exec(
      "INSERT INTO config_table_changes (source_table, name, value_x, node_name, change_type, "
      "config_type, deleted) VALUES ('global_config', 'kept.yaml', 'k', '', 'insert', 2, 0)");
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(FileExists(Config("kept.yaml")));
  db_->Exec("ALTER TABLE config_table_changes RENAME COLUMN value_x TO value");
  const std::string k = "k";
  EXPECT_TRUE(WaitForFile(Config("kept.yaml"), &k, 2s)) << log_.Since();
  Stop(*center);
}

// With the feed up the rows come from the binary log: a change goes in while the row
// statement would fail (the column renamed; names are not in the log's table map, its types
// still match), and the position moves on, so the row is not applied again once the
// statement works.
TEST_F(NodeEndToEnd, WithTheFeedUpRowsComeFromTheBinaryLog) {
  if (db_->Scalar("SELECT @@global.log_bin") != "1") {
    GTEST_SKIP() << "the server runs without a binary log";
  }
  auto center = StartReady();
  // Said once, perhaps before the ready line.
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (log_.Count("(change feed up)") == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_EQ(log_.Count("(change feed up)"), 1u) << log_.Since();
  // Rows come from the log once a pass has caught up since the feed came up: a change
  // applied shows that one has (a slow start, under a sanitizer say, may still be before it).
  db_->InsertItem("global_config", "caught_up.yaml", "c", "", 2);
  const std::string c = "c";
  ASSERT_TRUE(WaitForFile(Config("caught_up.yaml"), &c, 5s)) << log_.Since();
  struct NameBackAtEnd {
    AdminDb& db;
    ~NameBackAtEnd() {
      db.Exec("ALTER TABLE config_table_changes RENAME COLUMN IF EXISTS value_x TO value");
    }
  } name_back{*db_};
  db_->Exec("ALTER TABLE config_table_changes RENAME COLUMN value TO value_x");
  // The statement wakes the node too, with no rows to take: it reads with a SELECT, which
  // fails now. Let that pass be over first: a commit taken together with the statement's
  // would be read the same way (a schema changed is read, not trusted to the log's rows).
  ASSERT_TRUE(log_.WaitFor("Unknown column 'value'", 5s)) << log_.Since();
  db_->Exec(
      "INSERT INTO config_table_changes (source_table, name, value_x, node_name, change_type, "
      "config_type, deleted) VALUES ('global_config', 'logged.yaml', 'l', '', 'insert', 2, 0)");
  const std::string l = "l";
  EXPECT_TRUE(WaitForFile(Config("logged.yaml"), &l, 2s)) << log_.Since();
  db_->Exec("ALTER TABLE config_table_changes RENAME COLUMN value_x TO value");
  std::this_thread::sleep_for(1200ms);  // past the pass a second, which reads the log again
  EXPECT_EQ(log_.Count("FileConfigDistribute: logged.yaml"), 1u) << log_.Since();
  Stop(*center);
}

TEST_F(NodeEndToEnd, ServesConfigOperateHonoursRosArgumentsAndStopsOnSignals) {
  {
    auto center = StartReady({"-r", "__node:=center_two", "-r", "__ns:=/robot1"});
    Process probe(
        {"config_probe", "operate", "--ros-args", "-r", "/config_operate:=/robot1/config_operate"});
    EXPECT_EQ(probe.Wait(10s), 0) << probe.Output();
    EXPECT_NE(probe.Output().find("success=true"), std::string::npos) << probe.Output();
    // The renamed node answers its own parameter service under the new name.
    // (1 would mean no answer; 3 is an answer that the parameter is not declared.)
    Process params({"config_probe", "get", "robot1/center_two", "use_sim_time"});
    const auto answered = params.Wait(10s);
    EXPECT_TRUE(answered == 0 || answered == 3) << params.Output();
    center->Signal(SIGINT);
    EXPECT_EQ(center->Wait(5s), 0) << center->Output();
  }
  {
    auto center = StartReady();
    Process probe({"config_probe", "operate"});
    EXPECT_EQ(probe.Wait(10s), 0) << probe.Output();
    Stop(*center);  // SIGTERM
  }
  // A stop right at the end of start-up, before spinning has begun, is as orderly as any.
  for (int i = 0; i < 10; ++i) {
    auto center = StartReady();
    Stop(*center);
  }
  // A signal that arrives while a parameter call waits inside the timer callback ends the
  // wait at once, not when the answer deadline runs out.
  for (const int signal_number : {SIGTERM, SIGINT}) {
    // A fresh robot each time: the first round's item is not the second's to withdraw.
    db_->Exec("DELETE FROM global_config");
    RemoveConfigs();
    auto slow = StartTarget({"--name", "sleepy", "--string", "gain=1", "--delay-ms", "5000"});
    auto center = StartReady();
    db_->InsertItem("global_config", "gain", std::to_string(signal_number), "sleepy", 1);
    ASSERT_TRUE(log_.WaitFor("ParamConfigDistribute, node_name : sleepy", 2s)) << log_.Since();
    std::this_thread::sleep_for(100ms);
    const auto signalled = std::chrono::steady_clock::now();
    center->Signal(signal_number);
    EXPECT_EQ(center->Wait(5s), 0) << center->Output();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 600ms);
  }
}

// A stop signal is taken by one thread that is there for it, never by a DDS or executor
// thread: one asleep in a call the signal does not end would hold the stop back (under
// ThreadSanitizer, whose handlers run only where it sees the thread, that never stopped).
TEST_F(NodeEndToEnd, OneThreadTakesTheStopSignalsInTheNodeAndTheTargets) {
  auto target = StartTarget({"--name", "masked", "--string", "gain=1"});
  auto center = StartReady();
  EXPECT_EQ(ThreadsTakingStopSignalsOnceSettled(center->pid()), 1);
  EXPECT_EQ(ThreadsTakingStopSignalsOnceSettled(target->pid()), 1);
  target->Signal(SIGTERM);
  EXPECT_EQ(target->Wait(5s), 0) << target->Output();
  Stop(*center);
}

}  // namespace
}  // namespace config_center::test
