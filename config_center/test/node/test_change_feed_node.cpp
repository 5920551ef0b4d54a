// How the running node learns of changes: from the server's binary log when it writes one
// (the change feed), by polling every millisecond when it does not or while the feed is down.
// Real config_center and param_target processes, the isolated MariaDB (with its binary log
// on, or off in `scripts/test.sh --without-binlog`), real files.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/node_test.hpp"

namespace config_center::test {
namespace {

constexpr char kFeedUp[] = "Learning of changes from the binary log (change feed up)";

class ChangeFeedNode : public NodeTest {
protected:
  bool BinaryLogOn() { return db_->Scalar("SELECT @@global.log_bin") == "1"; }

  // Whether the log since the test began holds `text` `times` times, within `timeout` (the
  // feed may come up before start-up ends, so before the ready line).
  bool Logged(const std::string& text, std::chrono::milliseconds timeout, size_t times = 1) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (log_.Count(text) < times) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  // Statements the server executed for everyone in `window`: about a thousand a second
  // while the node polls.
  long StatementsIn(std::chrono::milliseconds window) {
    const auto count = [this] {
      return std::stol(
          *db_->Scalar("SELECT variable_value FROM information_schema.global_status "
                       "WHERE variable_name = 'COM_STMT_EXECUTE'"));
    };
    const long before = count();
    std::this_thread::sleep_for(window);
    return count() - before;
  }

  void KillFeedConnection() {
    // The node's is the only one: nothing else in the test follows the binary log.
    const auto id = db_->Scalar(
        "SELECT id FROM information_schema.processlist WHERE command = 'Binlog Dump' LIMIT 1");
    ASSERT_TRUE(id && !id->empty()) << "no feed connection on the server";
    db_->Exec("KILL " + *id);
  }
};

TEST_F(ChangeFeedNode, WithTheBinaryLogTheNodeWaitsForCommitsInsteadOfPolling) {
  auto arm = StartTarget({"--name", "arm", "--string", "reach=0"});
  auto center = StartReady();
  if (!BinaryLogOn()) {
    // No feed without a binary log: said once, with the reason, and the node polls.
    EXPECT_TRUE(Logged("Change feed down: no binary log", 2s)) << log_.Since();
    EXPECT_GT(StatementsIn(1s), 300);
  } else {
    ASSERT_TRUE(Logged(kFeedUp, 2s)) << log_.Since();
    // A pass a second, not a thousand.
    EXPECT_LT(StatementsIn(2s), 20);
  }
  // Either way a change arrives within milliseconds.
  const auto committed = std::chrono::steady_clock::now();
  db_->InsertItem("global_config", "reach", "7", "arm", 1);
  ASSERT_TRUE(arm->WaitFor("set arm.reach type=string value=\"7\"", 1s)) << log_.Since();
  EXPECT_LT(std::chrono::steady_clock::now() - committed, 200ms);
  db_->InsertItem("global_config", "site.yaml", "s", "", 2);
  const std::string s = "s";
  EXPECT_TRUE(WaitForFile(Config("site.yaml"), &s, 200ms));
  EXPECT_EQ(log_.Count(kFeedUp), BinaryLogOn() ? 1u : 0u) << log_.Since();
  Stop(*center);
  Stop(*arm);
}

TEST_F(ChangeFeedNode, AFeedKilledMidStreamLosesNoChange) {
  auto arm = StartTarget({"--name", "arm", "--string", "reach=0"});
  auto center = StartReady();
  if (!BinaryLogOn()) GTEST_SKIP() << "the server writes no binary log";
  ASSERT_TRUE(Logged(kFeedUp, 2s)) << log_.Since();
  db_->InsertItem("global_config", "reach", "0", "arm", 1);
  for (int i = 1; i <= 100; ++i) {
    db_->InsertItem("global_config", "f" + std::to_string(i), std::to_string(i), "", 2);
    db_->Exec("UPDATE global_config SET value = '" + std::to_string(i) + "' WHERE name = 'reach'");
    if (i == 40) KillFeedConnection();
  }
  // Said however short the fall: as it happened, or, when the feed was back before the node
  // looked, afterwards.
  EXPECT_TRUE(Logged("connection lost", 2s)) << log_.Since();
  for (int i = 1; i <= 100; ++i) {
    const std::string value = std::to_string(i);
    ASSERT_TRUE(WaitForFile(Config("f" + value), &value, 2s)) << i;
  }
  ASSERT_TRUE(arm->WaitFor("set arm.reach type=string value=\"100\"", 2s)) << log_.Since();
  // In order: every value the node was sent came after the ones before it.
  int last = -1;
  const std::string out = arm->Output();
  const std::string prefix = "set arm.reach type=string value=\"";
  for (size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at + 1)) {
    const int value = std::stoi(out.substr(at + prefix.size()));
    EXPECT_GT(value, last) << out;
    last = value;
  }
  // And the feed is back.
  EXPECT_TRUE(Logged(kFeedUp, 3s, 2) || Logged("is up again", 3s)) << log_.Since();
  Stop(*center);
  Stop(*arm);
}

TEST_F(ChangeFeedNode, AServerRestartFallsBackToThePollAndTheFeedReturns) {
  auto center = StartReady();
  if (!BinaryLogOn()) GTEST_SKIP() << "the server writes no binary log";
  ASSERT_TRUE(Logged(kFeedUp, 2s)) << log_.Since();
  ASSERT_EQ(std::system("db-restart 0.5"), 0);
  EXPECT_TRUE(Logged("Change feed down", 3s)) << log_.Since();
  EXPECT_TRUE(Logged(kFeedUp, 5s, 2)) << log_.Since();
  db_ = std::make_unique<AdminDb>();  // the old connection went with the server
  db_->InsertItem("global_config", "after.yaml", "a", "", 2);
  const std::string a = "a";
  EXPECT_TRUE(WaitForFile(Config("after.yaml"), &a, 2s)) << log_.Since();
  Stop(*center);
}

}  // namespace
}  // namespace config_center::test
