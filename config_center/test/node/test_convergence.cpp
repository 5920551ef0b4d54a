// The node converges on what the tables say whatever its targets do: a target that cannot
// take its change holds back only itself, start-up goes on past absent targets, a restart
// withdraws what went away meanwhile, and an emptied change log is noticed. Real
// config_center and param_target processes over DDS, the isolated MariaDB, real files.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/node_test.hpp"

namespace config_center::test {
namespace {

class Convergence : public NodeTest {
protected:
  // The values a target reported being set to `param`, in order.
  static std::vector<std::string> ValuesSet(const Process& target, const std::string& param) {
    std::vector<std::string> values;
    const std::string out = target.Output();
    const std::string prefix = "set " + param + " type=string value=\"";
    for (size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at + 1)) {
      const size_t from = at + prefix.size();
      values.push_back(out.substr(from, out.find('"', from) - from));
    }
    return values;
  }
};

TEST_F(Convergence, AbsentNodeHoldsBackOnlyItselfAndGetsTheNewestValueWhenItStarts) {
  auto center = StartReady();
  // A fleet item for an arm this robot does not run, changed three times, and a file change
  // behind it.
  db_->InsertItem("global_config", "reach", "1", "arm", 1);
  db_->Exec("UPDATE global_config SET value = '2' WHERE name = 'reach'");
  db_->InsertItem("global_config", "site.yaml", "s", "", 2);
  const std::string s = "s";
  // Well before the held node's 1 s deadline: the file does not wait for it.
  EXPECT_TRUE(WaitForFile(Config("site.yaml"), &s, 500ms)) << log_.Since();
  db_->Exec("UPDATE global_config SET value = '3' WHERE name = 'reach'");
  ASSERT_TRUE(log_.WaitFor("Holding back node arm: node arm is not running", 3s)) << log_.Since();

  // Meanwhile every other target goes on at once.
  db_->InsertItem("global_config", "later.yaml", "l", "", 2);
  const std::string l = "l";
  EXPECT_TRUE(WaitForFile(Config("later.yaml"), &l, 100ms)) << log_.Since();

  auto arm = StartTarget({"--name", "arm", "--string", "reach=0"});
  ASSERT_TRUE(arm->WaitFor("set arm.reach type=string value=\"3\"", 3s)) << log_.Since();
  EXPECT_TRUE(log_.WaitFor("Released node arm", 1s)) << log_.Since();
  std::this_thread::sleep_for(200ms);
  // Held changes of one item fold into the newest: the node never ends on an older value.
  const std::vector<std::string> values = ValuesSet(*arm, "arm.reach");
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values.back(), "3") << arm->Output();
  EXPECT_EQ(log_.Count("Holding back node arm"), 1u) << log_.Since();
  Stop(*center);
  Stop(*arm);
}

TEST_F(Convergence, StartupGoesOnPastAbsentOrSlowTargetsAndItemsOfNoKnownKind) {
  // Slower than the deadline: each attempt to it fails.
  auto slow = StartTarget({"--name", "slow", "--string", "gain=0", "--delay-ms", "1500"});
  db_->InsertItem("global_config", "gain", "4", "slow", 1);
  db_->InsertItem("global_config", "reach", "5", "arm", 1);
  db_->InsertItem("global_config", "odd", "1", "arm", 7);
  db_->InsertItem("global_config", "a.yaml", "a", "", 2);
  db_->InsertItem("custom_config", "maps/site.yaml", "m", "", 2);
  const auto started = std::chrono::steady_clock::now();
  auto center = StartReady();
  // The absent and the slow node cost start-up one deadline (together), no retries.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
  EXPECT_TRUE(FileExists(Config("a.yaml")));
  EXPECT_TRUE(FileExists(Config("maps/site.yaml")));
  EXPECT_EQ(log_.Count("Unknow config type"), 1u);
  EXPECT_EQ(log_.Count("Item \"odd\" of global_config can never be applied"), 1u) << log_.Since();
  EXPECT_EQ(log_.Count("Holding back node arm"), 1u) << log_.Since();
  EXPECT_EQ(log_.Count("Holding back node slow"), 1u) << log_.Since();

  auto arm = StartTarget({"--name", "arm", "--string", "reach=0"});
  EXPECT_TRUE(arm->WaitFor("set arm.reach type=string value=\"5\"", 3s)) << log_.Since();
  Stop(*center);
  Stop(*arm);
  Stop(*slow);
}

TEST_F(Convergence, RestartWithdrawsWhatWentAwayWhileStoppedAndNothingItNeverWrote) {
  auto arm = StartTarget({"--name", "arm", "--allow-undeclared"});
  db_->InsertItem("global_config", "reach", "5", "arm", 1);
  db_->InsertItem("global_config", "grip", "2", "arm", 1);
  db_->InsertItem("global_config", "sub/gone.yaml", "g", "", 2);
  db_->InsertItem("global_config", "kept.yaml", "k", "", 2);
  std::ofstream(Config("operators_own.yaml")) << "not an item";
  {
    auto center = StartReady();
    ASSERT_TRUE(arm->WaitFor("set arm.grip", 2s)) << arm->Output();
    Stop(*center);
  }
  db_->Exec("DELETE FROM global_config WHERE name IN ('reach', 'sub/gone.yaml')");
  auto center = StartReady();
  EXPECT_TRUE(arm->WaitFor("unset arm.reach", 2s)) << arm->Output();
  EXPECT_FALSE(FileExists(Config("sub/gone.yaml")));
  EXPECT_TRUE(FileExists(Config("kept.yaml")));
  EXPECT_TRUE(FileExists(Config("operators_own.yaml")));
  EXPECT_EQ(arm->Count("unset arm.grip"), 0u);
  // Withdrawn once is withdrawn for good: the record forgets it, so a restart sends nothing.
  Stop(*center);
  center = StartReady();
  EXPECT_EQ(arm->Count("unset arm.reach"), 1u) << arm->Output();

  // The withdrawal of a node that is not running waits for it, across restarts of the node.
  Stop(*arm);
  db_->Exec("DELETE FROM global_config WHERE name = 'grip'");
  ASSERT_TRUE(log_.WaitFor("Holding back node arm", 3s)) << log_.Since();
  Stop(*center);
  center = StartReady();
  arm = StartTarget({"--name", "arm", "--allow-undeclared"});
  EXPECT_TRUE(arm->WaitFor("unset arm.grip", 3s)) << arm->Output() << log_.Since();
  Stop(*center);
  Stop(*arm);
}

TEST_F(Convergence, EmptiedChangeLogIsNoticedAndNoLaterChangeIsLost) {
  auto arm = StartTarget({"--name", "arm", "--string", "reach=0"});
  for (int i = 0; i < 5; ++i) db_->InsertItem("global_config", "f" + std::to_string(i), "x", "", 2);
  db_->InsertItem("global_config", "reach", "1", "arm", 1);
  auto center = StartReady();
  ASSERT_TRUE(arm->WaitFor("set arm.reach type=string value=\"1\"", 2s));

  // Emptied to reclaim space while the node runs; a change made while the log holds fewer
  // rows than the node had seen must arrive all the same, and so must what follows.
  db_->Exec("TRUNCATE config_table_changes");
  db_->Exec("UPDATE global_config SET value = '2' WHERE name = 'reach'");
  db_->Exec("UPDATE global_config SET value = 'y' WHERE name = 'f0'");
  ASSERT_TRUE(log_.WaitFor("The change log went back from id", 2s)) << log_.Since();
  EXPECT_TRUE(arm->WaitFor("set arm.reach type=string value=\"2\"", 2s)) << arm->Output();
  const std::string y = "y";
  EXPECT_TRUE(WaitForFile(Config("f0"), &y, 2s));
  db_->Exec("DELETE FROM global_config WHERE name = 'f1'");
  db_->Exec("UPDATE global_config SET value = '3' WHERE name = 'reach'");
  EXPECT_TRUE(WaitForFile(Config("f1"), nullptr, 2s));
  EXPECT_TRUE(arm->WaitFor("set arm.reach type=string value=\"3\"", 2s)) << arm->Output();
  EXPECT_EQ(log_.Count("The change log went back from id"), 1u) << log_.Since();
  Stop(*center);
  Stop(*arm);
}

TEST_F(Convergence, FileInAMissingSubdirectoryGoesInAndHoldsNothingBack) {
  auto arm = StartTarget({"--name", "arm", "--string", "reach=0"});
  auto center = StartReady();
  db_->InsertItem("global_config", "maps/floor2/site.yaml", "site", "", 2);
  db_->InsertItem("global_config", "reach", "9", "arm", 1);
  const std::string site = "site";
  EXPECT_TRUE(WaitForFile(Config("maps/floor2/site.yaml"), &site, 200ms)) << log_.Since();
  EXPECT_TRUE(arm->WaitFor("set arm.reach type=string value=\"9\"", 1s));
  // Names that can never be a file are passed over once, and nothing behind them waits.
  db_->InsertItem("global_config", "a//b", "x", "", 2);
  db_->InsertItem("global_config", "maps/floor2", "x", "", 2);
  db_->InsertItem("global_config", "after.yaml", "after", "", 2);
  const std::string after = "after";
  EXPECT_TRUE(WaitForFile(Config("after.yaml"), &after, 200ms)) << log_.Since();
  EXPECT_TRUE(std::filesystem::is_directory(Config("maps/floor2")));
  // Each target on its own: the directory's name may be tried after after.yaml went in.
  EXPECT_TRUE(log_.WaitFor("\"maps/floor2\" names a directory", 1s)) << log_.Since();
  EXPECT_EQ(log_.Count("can never be applied, so it is passed over"), 2u) << log_.Since();
  Stop(*center);
  Stop(*arm);
}

TEST_F(Convergence, ABacklogIsReadInPartsAndFoldsIntoFewSends) {
  auto arm = StartTarget({"--name", "arm", "--string", "reach=0"});
  auto center = StartReady();
  // 2,000 changes of one item in one transaction, as a bulk edit brings them.
  db_->InsertItem("global_config", "reach", "0", "arm", 1);
  db_->Exec("START TRANSACTION");
  for (int i = 1; i <= 2000; ++i) {
    db_->Exec("UPDATE global_config SET value = '" + std::to_string(i) + "' WHERE name = 'reach'");
  }
  db_->Exec("COMMIT");
  ASSERT_TRUE(arm->WaitFor("set arm.reach type=string value=\"2000\"", 10s)) << log_.Since();
  // Read with a SELECT, 256 rows a pass, so eight passes at least; with the feed up they
  // came with the commit's row events, taken whole. Either way the changes of one item fold
  // while its node is busy, so the node gets a few sends, not two thousand.
  if (log_.Count("rows from the binary log") == 0) {
    EXPECT_GE(log_.Count("Some config changed"), 8u) << log_.Since();
  }
  std::this_thread::sleep_for(200ms);
  const std::vector<std::string> values = ValuesSet(*arm, "arm.reach");
  EXPECT_EQ(values.back(), "2000");
  EXPECT_LT(values.size(), 100u);
  Stop(*center);
  Stop(*arm);
}

TEST_F(Convergence, ALockedTableFreezesNeitherTheNodeNorItsService) {
  auto center = StartReady();
  AdminDb locker;
  locker.Exec("LOCK TABLES config_table_changes WRITE");
  std::this_thread::sleep_for(500ms);
  // The pass waits at most its lock timeout; config_operate answers on its own thread.
  const auto asked = std::chrono::steady_clock::now();
  Process probe({"config_probe", "operate"});
  EXPECT_EQ(probe.Wait(10s), 0) << probe.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s) << probe.Output();
  std::this_thread::sleep_for(3s);
  EXPECT_GE(log_.Count("Lock wait timeout exceeded"), 1u) << log_.Since().substr(0, 3000);
  locker.Exec("UNLOCK TABLES");
  db_->InsertItem("global_config", "free.yaml", "f", "", 2);
  const std::string f = "f";
  EXPECT_TRUE(WaitForFile(Config("free.yaml"), &f, 4s)) << log_.Since();
  Stop(*center);
}

}  // namespace
}  // namespace config_center::test
