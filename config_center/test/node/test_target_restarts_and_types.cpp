// Targets that restart, and parameters typed as their target declared them: the installed
// node and param_target processes over DDS, on the isolated database.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rclcpp/version.h>

#include "support/node_test.hpp"
#include "support/process.hpp"

namespace config_center::test {
namespace {

// From a target's "ready" to its parameters being back: one change-log pass at most, then
// the calls.
constexpr auto kBack = 2s;

class TargetRestartsAndTypes : public NodeTest {};

// What config_probe prints for `get NODE PARAM...`, or why it failed. It waits up to 5 s for
// the service: a loaded machine can take longer than its default 2 s to discover it.
std::string ProbeGet(const std::vector<std::string>& node_and_params) {
  std::vector<std::string> argv{"config_probe", "get"};
  argv.insert(argv.end(), node_and_params.begin(), node_and_params.end());
  argv.insert(argv.end(), {"--timeout", "5"});
  Process probe(argv);
  const auto status = probe.Wait(15s);
  if (status == 0) return probe.Output();
  return "config_probe exited " + (status ? std::to_string(*status) : "late") + ": " +
         probe.Output();
}

struct stat Stat(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info;
}

TEST_F(TargetRestartsAndTypes, RestartedTargetGetsItsParametersBackWhetherStoppedOrKilled) {
  const std::vector<std::string> arm{"--name",  "arm",      "--string",
                                     "speed=0", "--string", "mode=idle"};
  auto target = StartTarget(arm);
  auto other = StartTarget({"--name", "other", "--string", "gain=0"});
  db_->InsertItem("global_config", "speed", "10", "arm", 1);
  db_->InsertItem("custom_config", "speed", "25", "arm", 1);
  db_->InsertItem("global_config", "mode", "auto", "arm", 1);
  db_->InsertItem("global_config", "gain", "3", "other", 1);
  db_->InsertItem("global_config", "arm.yaml", "joints: 6\n", "", 2);
  auto center = StartReady();
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"25\"", 1s)) << target->Output();
  const std::string file = std::string(kConfigs) + "arm.yaml";
  const struct stat before = Stat(file);

  // Stopped cleanly: the old instance leaves the graph before the new one comes.
  Stop(*target);
  target = StartTarget(arm);
  EXPECT_TRUE(target->WaitFor("set arm.mode type=string value=\"auto\"", kBack))
      << target->Output() << log_.Since();
  EXPECT_TRUE(target->WaitFor("set arm.speed type=string value=\"25\"", kBack));
  EXPECT_TRUE(log_.WaitFor("Target arm restarted, sending its 2 parameters again", 1s));

  // Killed and respawned at once: the dead instance is still on the graph beside the new one.
  // The values come from the tables as they are now.
  db_->Exec("UPDATE custom_config SET value = '26' WHERE name = 'speed'");
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"26\"", 2s));
  target->Signal(SIGKILL);
  target->Wait(5s);
  target = StartTarget(arm);
  EXPECT_TRUE(target->WaitFor("set arm.mode type=string value=\"auto\"", kBack))
      << target->Output() << log_.Since();
  EXPECT_TRUE(target->WaitFor("set arm.speed type=string value=\"26\"", kBack));

  // One round per new instance; the other node and the file are left alone.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(log_.Count("Target arm restarted"), 2u) << log_.Since();
  EXPECT_EQ(log_.Count("Target other restarted"), 0u);
  EXPECT_EQ(other->Count("set other.gain"), 1u) << other->Output();
  const struct stat after = Stat(file);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

  // Changes still flow to the new instance.
  db_->Exec("UPDATE global_config SET value = 'manual' WHERE name = 'mode'");
  EXPECT_TRUE(target->WaitFor("set arm.mode type=string value=\"manual\"", 2s));
  Stop(*center);
}

// A request goes out without asking the graph only while the graph has not changed since its
// service last answered: a target stopped and started again is a change, so a change made
// right after the new instance is ready waits for it to be matched and is not lost (a lost
// request would show only after the 1 s answer deadline, as a target held back).
TEST_F(TargetRestartsAndTypes, AChangeRightAfterACleanRestartReachesTheNewInstance) {
  const std::vector<std::string> arm{"--name", "arm", "--string", "speed=0"};
  auto target = StartTarget(arm);
  db_->InsertItem("global_config", "speed", "0", "arm", 1);
  auto center = StartReady();
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"0\"", 1s));
  for (int round = 1; round <= 5; ++round) {
    // Answered once: from here on its client counts as matched until the graph changes.
    db_->Exec("UPDATE global_config SET value = 'before " + std::to_string(round) +
              "' WHERE name = 'speed'");
    ASSERT_TRUE(target->WaitFor("value=\"before " + std::to_string(round) + "\"", 2s))
        << target->Output() << log_.Since();
    Stop(*target);
    target = StartTarget(arm);
    const auto ready = std::chrono::steady_clock::now();
    const std::string value = "after " + std::to_string(round);
    db_->Exec("UPDATE global_config SET value = '" + value + "' WHERE name = 'speed'");
    EXPECT_TRUE(target->WaitFor("set arm.speed type=string value=\"" + value + "\"", 2s))
        << target->Output() << log_.Since();
    EXPECT_LT(std::chrono::steady_clock::now() - ready, 900ms) << "round " << round;
  }
  EXPECT_EQ(log_.Count("did not answer"), 0u) << log_.Since();
  EXPECT_EQ(log_.Count("Holding back"), 0u) << log_.Since();
  Stop(*center);
}

// What a target holds beside the items config_center has for it stays the target's own: a
// parameter it declared itself and, on Jazzy, the read-only start_type_description_service
// every node declares (with ~/get_type_description beside its parameter services). None of
// it is looked up, sent, withdrawn or counted: at start-up, when the target restarts, when
// an item goes, and when config_center restarts.
TEST_F(TargetRestartsAndTypes, WhatATargetHoldsBesideItsItemsIsLeftAlone) {
  const std::vector<std::string> arm{"--name",        "arm",      "--string",
                                     "own_gain=mine", "--string", "speed=0"};
  auto target = StartTarget(arm);
#if RCLCPP_VERSION_MAJOR >= 28
  // Jazzy's rclcpp declares it in every node, param_target's included.
  EXPECT_EQ(ProbeGet({"arm", "start_type_description_service"}),
            "start_type_description_service type=bool value=true\n");
#endif
  db_->InsertItem("global_config", "speed", "3", "arm", 1);
  // Not declared there: the type lookup goes through ~/list_parameters.
  db_->InsertItem("global_config", "ghost", "x", "arm", 1);
  auto center = StartReady();
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"3\"", 1s)) << target->Output();
  ASSERT_TRUE(target->WaitFor("refused arm.ghost", 1s));

  target->Signal(SIGKILL);
  target->Wait(5s);
  target = StartTarget(arm);
  EXPECT_TRUE(target->WaitFor("set arm.speed type=string value=\"3\"", kBack))
      << target->Output() << log_.Since();
  EXPECT_TRUE(log_.WaitFor("Target arm restarted, sending its 2 parameters again", 1s))
      << log_.Since();

  // Withdrawn: the item that went, and nothing else.
  db_->Exec("DELETE FROM global_config WHERE name = 'speed'");
  EXPECT_TRUE(target->WaitFor("refused arm.speed", 2s)) << target->Output();
  Stop(*center);
  center = StartReady();
  db_->Exec("UPDATE global_config SET value = 'y' WHERE name = 'ghost'");
  EXPECT_TRUE(target->WaitFor("refused arm.ghost", 2s)) << target->Output();
  Stop(*center);

  const std::string said = target->Output() + log_.Since();
  for (const char* foreign : {"own_gain", "start_type_description_service"}) {
    EXPECT_EQ(said.find(foreign), std::string::npos) << foreign << "\n" << said;
  }
  EXPECT_EQ(ProbeGet({"arm", "own_gain"}), "own_gain type=string value=\"mine\"\n");
}

TEST_F(TargetRestartsAndTypes, RestartIsServedWhileAnAbsentNodeIsHeld) {
  const std::vector<std::string> arm{"--name", "arm", "--string", "speed=0"};
  auto target = StartTarget(arm);
  db_->InsertItem("global_config", "speed", "1", "arm", 1);
  auto center = StartReady();
  ASSERT_TRUE(target->WaitFor("set arm.speed type=string value=\"1\"", 1s));

  // No node "absent" runs: its change is held, and holds back nothing else.
  db_->InsertItem("global_config", "gain", "2", "absent", 1);
  db_->Exec("UPDATE global_config SET value = '7' WHERE name = 'speed'");
  db_->InsertItem("global_config", "behind.yaml", "b", "", 2);
  ASSERT_TRUE(log_.WaitFor("ParamConfigDistribute, node_name : absent", 2s));

  target->Signal(SIGKILL);
  target->Wait(5s);
  target = StartTarget(arm);
  const auto ready = std::chrono::steady_clock::now();
  EXPECT_TRUE(target->WaitFor("set arm.speed type=string value=\"7\"", 2500ms))
      << target->Output() << log_.Since();
  EXPECT_LT(std::chrono::steady_clock::now() - ready, 2500ms);
  EXPECT_TRUE(FileExists(std::string(kConfigs) + "behind.yaml"));

  auto absent = StartTarget({"--name", "absent", "--string", "gain=0"});
  EXPECT_TRUE(absent->WaitFor("set absent.gain type=string value=\"2\"", 3s));
  Stop(*center);
}

TEST_F(TargetRestartsAndTypes, ValuesGoOutAsTheDeclaredType) {
  const std::vector<std::string> typed{"--name",         "typed",      "--double", "speed=0.5",
                                       "--int",          "count=1",    "--bool",   "on=false",
                                       "--int-array",    "ids=[]",     "--string", "label=x",
                                       "--double-array", "gains=[0.0]"};
  auto target = StartTarget(typed);
  auto plain = StartTarget({"--name", "plain", "--no-type-services", "--string", "s=a"});
  auto loose = StartTarget({"--name", "loose", "--allow-undeclared", "--int", "n=0"});
  db_->InsertItem("global_config", "speed", "2.5", "typed", 1);
  db_->InsertItem("global_config", "count", "0x1A", "typed", 1);
  db_->InsertItem("global_config", "on", "yes", "typed", 1);
  db_->InsertItem("global_config", "ids", "[1, 2]", "typed", 1);
  db_->InsertItem("global_config", "label", "5", "typed", 1);
  db_->InsertItem("global_config", "ghost", "x", "typed", 1);
  db_->InsertItem("custom_config", "gains", "[1, 2.5]", "typed", 1);
  db_->InsertItem("global_config", "s", "5", "plain", 1);
  db_->InsertItem("global_config", "n", "5", "loose", 1);
  db_->InsertItem("global_config", "extra", "5", "loose", 1);
  auto center = StartReady();

  EXPECT_TRUE(target->WaitFor("set typed.speed type=double value=2.5", 1s)) << target->Output();
  EXPECT_TRUE(target->WaitFor("set typed.count type=integer value=26", 1s));
  EXPECT_TRUE(target->WaitFor("set typed.on type=bool value=true", 1s));
  EXPECT_TRUE(target->WaitFor("set typed.ids type=integer_array value=[1, 2]", 1s));
  EXPECT_TRUE(target->WaitFor("set typed.label type=string value=\"5\"", 1s));
  // Not declared there: a string, which the node refuses as before.
  EXPECT_TRUE(target->WaitFor("refused typed.ghost", 1s));
  EXPECT_TRUE(target->WaitFor("set typed.gains type=double_array value=[1, 2.5]", 1s));
  // One lookup for all seven names; rclcpp answers nothing while "ghost" is among them, so
  // the declared six are asked again.
  EXPECT_EQ(target->Count("types typed "), 2u) << target->Output();
  EXPECT_EQ(target->Count("answer=[]"), 1u);
  // No type services: strings as before. Undeclared parameters allowed: strings for those.
  EXPECT_TRUE(plain->WaitFor("set plain.s type=string value=\"5\"", 1s)) << plain->Output();
  EXPECT_TRUE(loose->WaitFor("set loose.n type=integer value=5", 1s)) << loose->Output();
  EXPECT_TRUE(loose->WaitFor("set loose.extra type=string value=\"5\"", 1s));

  // A text that does not fit is reported and handled: the rows after it go on.
  db_->Exec("UPDATE global_config SET value = 'fast' WHERE name = 'speed'");
  db_->InsertItem("global_config", "after.yaml", "a", "", 2);
  const std::string a = "a";
  EXPECT_TRUE(WaitForFile(std::string(kConfigs) + "after.yaml", &a, 2s));
  EXPECT_EQ(log_.Count("Parameter speed of node typed is declared double; the text \"fast\" does "
                       "not read as one, not sent"),
            1u)
      << log_.Since();
  EXPECT_EQ(target->Count("typed.speed"), 1u);

  // Known types are kept: no lookup for later changes. A string stays a string.
  db_->Exec("UPDATE global_config SET value = '12' WHERE name = 'count'");
  db_->Exec("UPDATE global_config SET value = '[1, 2]' WHERE name = 'label'");
  EXPECT_TRUE(target->WaitFor("set typed.count type=integer value=12", 2s));
  EXPECT_TRUE(target->WaitFor("set typed.label type=string value=\"[1, 2]\"", 2s));
  EXPECT_EQ(target->Count("types typed "), 2u);

  // A new instance may declare other types; they are learnt again.
  target->Signal(SIGKILL);
  target->Wait(5s);
  target = StartTarget({"--name", "typed", "--string", "speed=x", "--double", "count=0"});
  EXPECT_TRUE(target->WaitFor("set typed.count type=double value=12", kBack))
      << target->Output() << log_.Since();
  EXPECT_TRUE(target->WaitFor("set typed.speed type=string value=\"fast\"", kBack));
  Stop(*center);
}

}  // namespace
}  // namespace config_center::test
