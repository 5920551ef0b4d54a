// Drift on a robot, as a person at it causes it: `ros2 param set` on a managed parameter,
// a managed file edited, replaced by a rename, chmod'ed and removed, a target node that sets
// its parameter back by itself; and the items' states as `ros2 topic echo` shows them to a
// subscriber that comes late. The installed config_center, param_target processes and the
// ros2 CLI over DDS, the isolated MariaDB and configs directory.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/node_test.hpp"

namespace config_center::test {
namespace {

using SteadyClock = std::chrono::steady_clock;

class DriftEndToEnd : public NodeTest {
protected:
  // Runs a ros2 CLI command to its end; its output, or the failure.
  static std::string Ros2(std::vector<std::string> args, std::chrono::milliseconds timeout = 20s) {
    args.insert(args.begin(), "ros2");
    Process cli(args);
    const auto status = cli.Wait(timeout);
    EXPECT_EQ(status, 0) << cli.Output();
    return cli.Output();
  }
  // `ros2 param set` by hand.
  static std::string SetByHand(const std::string& node, const std::string& name,
                               const std::string& value) {
    return Ros2({"param", "set", "--no-daemon", node, name, value});
  }
  // What a late `ros2 topic echo` gets of the item states: the message kept for it.
  static std::string EchoStates() {
    return Ros2({"topic", "echo", "--once", "--no-daemon", "/config_center/item_states"});
  }
};

// The file holds `contents` with mode 0600 within `timeout`: how long it took.
std::optional<SteadyClock::duration> WaitRestored(const std::string& path,
                                                  const std::string& contents,
                                                  std::chrono::milliseconds timeout) {
  const auto start = SteadyClock::now();
  while (SteadyClock::now() - start < timeout) {
    std::string now;
    struct stat info {};
    if (ReadFile(path, &now) && now == contents && ::stat(path.c_str(), &info) == 0 &&
        (info.st_mode & 07777) == 0600) {
      return SteadyClock::now() - start;
    }
    std::this_thread::sleep_for(1ms);
  }
  return std::nullopt;
}

TEST_F(DriftEndToEnd, AParameterSetByHandIsSetBackOrWithReportLeftAndShownDrifted) {
  auto target = StartTarget({"--name", "drift_arm", "--int", "max_speed=1"});
  db_->InsertItem("global_config", "max_speed", "5", "drift_arm", 1);
  auto center = StartReady();
  ASSERT_TRUE(target->WaitFor("set drift_arm.max_speed type=integer value=5", 3s))
      << target->Output();

  SetByHand("/drift_arm", "max_speed", "9");
  ASSERT_TRUE(target->WaitFor("set drift_arm.max_speed type=integer value=9", 1s));
  EXPECT_TRUE(target->WaitFor("set drift_arm.max_speed type=integer value=5", 2s))
      << target->Output();
  EXPECT_TRUE(
      log_.WaitFor("Drift: parameter max_speed of node drift_arm: it was changed by "
                   "another party; setting it back",
                   1s));
  // The node's own set back is no drift: nothing more follows.
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(target->Count("value=5"), 2u) << target->Output();

  // The team tunes by hand: report only.
  EXPECT_NE(SetByHand("/config_center", "drift_policy", "report").find("successful"),
            std::string::npos);
  EXPECT_NE(SetByHand("/config_center", "drift_policy", "sometimes").find("restore or report"),
            std::string::npos);
  SetByHand("/drift_arm", "max_speed", "7");
  ASSERT_TRUE(target->WaitFor("set drift_arm.max_speed type=integer value=7", 1s));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(target->Count("value=5"), 2u) << "set back under report: " << target->Output();
  const std::string states = EchoStates();
  EXPECT_NE(states.find("state: drifted"), std::string::npos) << states;
  EXPECT_NE(states.find("reason: it was changed by another party"), std::string::npos) << states;
  EXPECT_NE(states.find("value: '5'"), std::string::npos) << states;  // the database's value
  // The next change from the database is applied again.
  db_->Exec("UPDATE global_config SET value = '6' WHERE name = 'max_speed'");
  EXPECT_TRUE(target->WaitFor("set drift_arm.max_speed type=integer value=6", 3s));
  Stop(*center);
}

TEST_F(DriftEndToEnd, AManagedFileChangedByHandIsWrittenAgainAndAForeignOneIsLeftAlone) {
  const std::string value = "speed: 5\nmode: auto\n";
  db_->InsertItem("global_config", "drift/site.yaml", value, "", 2);
  auto center = StartReady();
  const std::string managed = Config("drift/site.yaml");
  ASSERT_TRUE(WaitRestored(managed, value, 2s));
  // A file of somebody else's beside it.
  const std::string foreign = Config("drift/notes.txt");
  { std::ofstream(foreign) << "mine\n"; }
  ASSERT_EQ(::chmod(foreign.c_str(), 0644), 0);
  struct stat foreign_before {};
  ASSERT_EQ(::stat(foreign.c_str(), &foreign_before), 0);

  std::vector<std::string> what;
  std::vector<SteadyClock::duration> took;
  auto expect_restored = [&](const std::string& how) {
    const auto restored = WaitRestored(managed, value, 2s);
    EXPECT_TRUE(restored.has_value()) << how << "\n" << log_.Since();
    if (restored) took.push_back(*restored);
    what.push_back(how);
  };
  // Edited in place.
  { std::ofstream(managed, std::ios::app) << "speed: 9\n"; }
  expect_restored("edited");
  // Replaced by a rename, as editors save.
  { std::ofstream(managed + ".swp") << "speed: 1\n"; }
  ASSERT_EQ(::rename((managed + ".swp").c_str(), managed.c_str()), 0);
  expect_restored("renamed over");
  // Given another mode.
  ASSERT_EQ(::chmod(managed.c_str(), 0644), 0);
  expect_restored("chmod");
  // Removed.
  ASSERT_EQ(::unlink(managed.c_str()), 0);
  expect_restored("removed");
  EXPECT_EQ(log_.Count("Drift: file drift/site.yaml"), 4u) << log_.Since();

  // The foreign file and its edits were never the node's business.
  { std::ofstream(foreign, std::ios::app) << "more\n"; }
  std::this_thread::sleep_for(300ms);
  std::string contents;
  ASSERT_TRUE(ReadFile(foreign, &contents));
  EXPECT_EQ(contents, "mine\nmore\n");
  struct stat foreign_after {};
  ASSERT_EQ(::stat(foreign.c_str(), &foreign_after), 0);
  EXPECT_EQ(foreign_after.st_mode & 07777, 0644u);
  EXPECT_EQ(foreign_after.st_ino, foreign_before.st_ino);
  EXPECT_EQ(log_.Count("notes.txt"), 0u) << log_.Since();
  for (size_t i = 0; i < took.size(); ++i) {
    std::printf("%s: restored after %.2f ms\n", what[i].c_str(),
                std::chrono::duration<double, std::milli>(took[i]).count());
  }
  Stop(*center);
}

TEST_F(DriftEndToEnd, ATargetThatKeepsChangingItBackIsHeldNotFought) {
  auto target = StartTarget({"--name", "stubborn", "--int", "gain=1", "--fight-back", "gain=1"});
  db_->InsertItem("global_config", "gain", "5", "stubborn", 1);
  auto center = StartReady();
  ASSERT_TRUE(target->WaitFor("fought stubborn.gain", 3s)) << target->Output();
  ASSERT_TRUE(
      log_.WaitFor("Holding back parameter gain of node stubborn: the node keeps changing it", 3s))
      << log_.Since();
  // Held: set back at the growing intervals of held targets (10 ms doubling to 1 s), not in a
  // storm. Over 4 s that is at most a dozen sets.
  const size_t at_hold = target->Count("set stubborn.gain type=integer value=5");
  std::this_thread::sleep_for(4s);
  const size_t sets = target->Count("set stubborn.gain type=integer value=5") - at_hold;
  std::printf("sets before the hold: %zu, during 4 s held: %zu, fights: %zu\n", at_hold, sets,
              target->Count("fought stubborn.gain"));
  EXPECT_LE(at_hold, 6u) << target->Output();  // the first set and 5 set-backs
  EXPECT_GE(sets, 2u) << "a held item is still retried";
  EXPECT_LE(sets, 12u) << target->Output();
  const std::string states = EchoStates();
  EXPECT_NE(states.find("state: held"), std::string::npos) << states;
  EXPECT_NE(states.find("reason: the node keeps changing it"), std::string::npos) << states;
  Stop(*center);
}

TEST_F(DriftEndToEnd, ALateSubscriberGetsEveryItemsStateAtOnce) {
  auto target = StartTarget({"--name", "states_arm", "--int", "speed=1"});
  db_->InsertItem("global_config", "speed", "4", "states_arm", 1);
  // Refused by the node itself: it declared no such parameter (its own reason comes back).
  db_->InsertItem("global_config", "ghost", "1", "states_arm", 1);
  db_->InsertItem("global_config", "grip", "1", "states_absent", 1);  // no such node: held
  db_->InsertItem("global_config", "states.yaml", "abc", "", 2);
  db_->InsertItem("global_config", "../outside", "x", "", 2);  // can never be a file
  auto center = StartReady();
  ASSERT_TRUE(target->WaitFor("set states_arm.speed type=integer value=4", 3s));
  std::this_thread::sleep_for(1500ms);  // the absent node's call has timed out
  const auto start = SteadyClock::now();
  const std::string states = EchoStates();
  std::printf("ros2 topic echo --once returned after %.0f ms\n",
              std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
  auto has = [&](const std::string& text) {
    EXPECT_NE(states.find(text), std::string::npos) << text << "\n" << states;
  };
  has("name: speed");
  has("state: applied");
  has("value: '4'");
  has("name: ghost");
  has("state: refused");
  has("not declared");  // rclcpp's reason, from the node
  has("node_name: states_absent");
  has("state: held");
  has("reason: node states_absent is not running");
  has("name: states.yaml");
  // SHA-256 of "abc"; the content itself never goes out.
  has("value_sha256: ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  has("name: ../outside");
  has("state: passed_over");
  // The service answers for one node.
  const std::string one =
      Ros2({"service", "call", "/config_center/get_item_states",
            "config_center_interfaces/srv/GetItemStates", "{node_name: states_arm}"});
  EXPECT_NE(one.find("name='speed'"), std::string::npos) << one;
  EXPECT_NE(one.find("name='ghost'"), std::string::npos) << one;
  EXPECT_EQ(one.find("states.yaml"), std::string::npos) << one;
  Stop(*center);
}

}  // namespace
}  // namespace config_center::test
