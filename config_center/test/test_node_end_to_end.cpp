// The node as it runs on a robot: real config_center and target node processes over DDS,
// the isolated MariaDB, and the files on disk.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/node_harness.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace config_center::test {
namespace {

constexpr auto kStartup = 15s;

class NodeEndToEnd : public ::testing::Test {
protected:
  // Fresh tables every time: some cases take a table or a column away.
  void SetUp() override {
    db_ = std::make_unique<AdminDb>();
    db_->Exec("DROP TABLE IF EXISTS global_config, custom_config, config_table_changes");
    ASSERT_TRUE(LoadSchema());
    RemoveConfigs();
  }

  // Starts the node and waits until start-up has finished and polling runs.
  std::unique_ptr<Process> StartReady(const std::vector<std::string>& ros_args = {}) {
    auto center = StartConfigCenter(ros_args);
    EXPECT_TRUE(log_.WaitFor("Config center ready", kStartup)) << center->Output();
    return center;
  }

  void Stop(Process& process) {
    process.Signal(SIGTERM);
    EXPECT_EQ(process.Wait(5s), 0) << process.Output();
  }

  static std::string Config(const std::string& name) { return std::string(kConfigs) + name; }

  std::unique_ptr<AdminDb> db_;
  LogTail log_;
};

TEST_F(NodeEndToEnd, StartupAppliesGlobalThenCustomAndTriggersKeepPrecedence) {
  auto target = StartTarget({"--name", "arm", "--string", "speed=0", "--string", "mode=idle"});
  db_->InsertItem("global_config", "speed", "10", "arm", 1);
  db_->InsertItem("custom_config", "speed", "25", "arm", 1);
  db_->InsertItem("global_config", "mode", "auto", "arm", 1);
  db_->InsertItem("global_config", "arm.yaml", "global: 1\n", "", 2);
  db_->InsertItem("custom_config", "arm.yaml", "custom: 1\n", "", 2);
  db_->InsertItem("global_config", "gone.yaml", "never", "", 2, /*deleted=*/1);

  auto center = StartReady();
  // global_config first, so the custom value is the one in effect.
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"10\"", 1s)) << target->Output();
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"25\"", 1s)) << target->Output();
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
  {  // An item of no known kind stops start-up before custom_config is read.
    db_->InsertItem("global_config", "a.yaml", "a", "", 2);
    db_->InsertItem("global_config", "b", "b", "arm", 7);
    db_->InsertItem("custom_config", "c.yaml", "c", "", 2);
    auto center = StartConfigCenter();
    EXPECT_EQ(center->Wait(kStartup), 255);
    EXPECT_NE(center->Output().find("config center init failed"), std::string::npos);
    EXPECT_TRUE(log_.WaitFor("Unknow config type", 1s));
    EXPECT_TRUE(log_.WaitFor("Distribute global_config failed!", 1s));
    EXPECT_TRUE(log_.WaitFor("Full config distribute failed!", 1s));
    EXPECT_TRUE(FileExists(Config("a.yaml")));
    EXPECT_FALSE(FileExists(Config("c.yaml")));
    EXPECT_EQ(log_.Count("ConfigDistribute table : custom_config"), 0u);
  }
  db_->Exec("DELETE FROM global_config");
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
  EXPECT_EQ(log_.Count("Failed to delete config file lidar.yaml"), 1u) << log_.Since();

  // Names that would leave the configs directory are refused, and nothing outside is touched.
  db_->InsertItem("global_config", "../escape.yaml", "x", "", 2);
  EXPECT_TRUE(log_.WaitFor("Refused config file name \"../escape.yaml\"", 2s)) << log_.Since();
  EXPECT_FALSE(FileExists("/opt/velgar/escape.yaml"));
  Stop(*center);
}

TEST_F(NodeEndToEnd, SlowOrAbsentTargetHoldsBackLaterRows) {
  auto center = StartReady();
  db_->InsertItem("global_config", "gain", "2", "late", 1);
  db_->InsertItem("global_config", "behind.yaml", "b", "", 2);
  // The node for "gain" is not running: each attempt waits out its second, then fails.
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(FileExists(Config("behind.yaml")));
  auto late = StartTarget({"--name", "late", "--string", "gain=1", "--delay-ms", "300"});
  EXPECT_TRUE(late->WaitFor("set late.gain type=string value=\"2\"", 3s)) << late->Output();
  const std::string b = "b";
  EXPECT_TRUE(WaitForFile(Config("behind.yaml"), &b, 3s));

  // A target slower than the deadline never counts as answered: the row is tried again
  // until a target answers in time.
  // (Stopped in order: a killed node's endpoints linger in DDS until their lease runs out.)
  Stop(*late);
  auto slow = StartTarget({"--name", "late", "--string", "gain=1", "--delay-ms", "1500"});
  db_->Exec("UPDATE global_config SET value = '3' WHERE name = 'gain'");
  db_->InsertItem("global_config", "behind2.yaml", "c", "", 2);
  // An attempt can take a few seconds: the busy node answers its type lookup late as well.
  const std::string attempt = "ParamConfigDistribute, node_name : late, gain : 3";
  EXPECT_TRUE(log_.WaitFor(attempt, 6s)) << log_.Since();
  EXPECT_TRUE(log_.WaitFor(attempt, 6s)) << log_.Since();
  EXPECT_FALSE(FileExists(Config("behind2.yaml")));
  Stop(*slow);
  auto fast = StartTarget({"--name", "late", "--string", "gain=1"});
  EXPECT_TRUE(fast->WaitFor("set late.gain type=string value=\"3\"", 5s)) << fast->Output();
  const std::string c = "c";
  EXPECT_TRUE(WaitForFile(Config("behind2.yaml"), &c, 3s));
  Stop(*center);
}

TEST_F(NodeEndToEnd, RowThatKeepsFailingIsLoggedAboutOnceASecond) {
  auto center = StartReady();
  // No node can have this name; the client library refuses the service name.
  db_->InsertItem("global_config", "p", "1", "bad name", 1);
  db_->InsertItem("global_config", "held.yaml", "h", "", 2);
  ASSERT_TRUE(log_.WaitFor("Set parameters call to /bad name/set_parameters failed: ", 2s))
      << log_.Since();
  std::this_thread::sleep_for(2200ms);
  EXPECT_FALSE(FileExists(Config("held.yaml")));
  // Thousands of attempts in two seconds, a handful of records.
  const size_t attempts = log_.Count("/bad name/set_parameters failed");
  EXPECT_GE(attempts, 2u);
  EXPECT_LE(attempts, 4u) << log_.Since();
  EXPECT_GE(log_.Count("more times; those repeats were left out of the log"), 1u);
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

TEST_F(NodeEndToEnd, FailedRowReadKeepsThePosition) {
  auto center = StartReady();
  // The row statement fails while the column is away; the maximum can still be read.
  db_->Exec("ALTER TABLE config_table_changes RENAME COLUMN value TO value_x");
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
    db_->Exec("DELETE FROM global_config");
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

}  // namespace
}  // namespace config_center::test
