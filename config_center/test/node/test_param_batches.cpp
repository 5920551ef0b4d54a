// The waiting parameters of one node go out in one SetParameters request: the installed node
// and param_target processes over DDS, on the isolated database. Each parameter's own result
// decides its item, a node that vanishes with a request unanswered gets all of it again, in
// order, once it is back, and a change that arrives while its item's request is under way
// follows it instead of being lost in it.
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/node_test.hpp"
#include "support/process.hpp"

namespace config_center::test {
namespace {

class ParamBatches : public NodeTest {};

// Where `text` first appears in `output`; npos when it does not.
size_t At(const std::string& output, const std::string& text) { return output.find(text); }

TEST_F(ParamBatches, EachParameterOfARequestDecidesItsOwnItem) {
  // "ghost" is not declared: rclcpp refuses it, and only it, within the request; "count"
  // cannot read as the integer the node declared, so it is not even sent.
  auto target = StartTarget({"--name", "batch", "--string", "a=0", "--string", "b=0", "--int",
                             "count=0", "--string", "c=0"});
  db_->InsertItem("global_config", "a", "1", "batch", 1);
  db_->InsertItem("global_config", "ghost", "2", "batch", 1);
  db_->InsertItem("global_config", "count", "many", "batch", 1);
  db_->InsertItem("global_config", "b", "3", "batch", 1);
  db_->InsertItem("global_config", "c", "4", "batch", 1);
  auto center = StartReady();
  EXPECT_TRUE(target->WaitFor("set batch.c type=string value=\"4\"", 2s))
      << target->Output() << log_.Since();
  // The request's other parameters came before the last one.
  EXPECT_EQ(target->Count("set batch.a type=string value=\"1\""), 1u) << target->Output();
  EXPECT_EQ(target->Count("set batch.b type=string value=\"3\""), 1u);
  EXPECT_EQ(target->Count("refused batch.ghost"), 1u);
  EXPECT_EQ(target->Count("batch.count"), 0u) << target->Output();
  EXPECT_EQ(log_.Count("Node /batch refused parameter ghost"), 1u) << log_.Since();
  EXPECT_EQ(log_.Count("refused parameter a"), 0u);
  EXPECT_EQ(log_.Count("Parameter count of node batch is declared integer"), 1u);
  // Refusals are handled: nothing is held, and the node's next change follows.
  EXPECT_EQ(log_.Count("Holding back"), 0u) << log_.Since();
  db_->Exec("UPDATE global_config SET value = '5' WHERE name = 'b'");
  EXPECT_TRUE(target->WaitFor("set batch.b type=string value=\"5\"", 2s)) << log_.Since();
  Stop(*center);
}

TEST_F(ParamBatches, ANodeThatVanishesMidRequestGetsItAllAgainInOrder) {
  // The target takes 600 ms before handling a request: it is killed with one unanswered.
  std::vector<std::string> slow{"--name", "fleeting", "--allow-undeclared", "--delay-ms", "600"};
  auto target = StartTarget(slow);
  for (int i = 0; i < 10; ++i) {
    db_->InsertItem("global_config", "p" + std::to_string(i), std::to_string(i), "fleeting", 1);
  }
  // Not waiting for the ready line: the log is read from the first request on.
  auto center = StartConfigCenter();
  ASSERT_TRUE(log_.WaitFor("ParamConfigDistribute, node_name : fleeting, p9 : 9", 3s))
      << log_.Since();
  std::this_thread::sleep_for(100ms);
  target->Signal(SIGKILL);
  target->Wait(5s);
  EXPECT_EQ(target->Count("set fleeting."), 0u) << target->Output();
  // The whole request is held, not one parameter of it taken as done.
  ASSERT_TRUE(log_.WaitFor("Holding back node fleeting", 3s)) << log_.Since();

  target = StartTarget({"--name", "fleeting", "--allow-undeclared"});
  ASSERT_TRUE(target->WaitFor("set fleeting.p9 ", 3s)) << target->Output() << log_.Since();
  const std::string output = target->Output();
  for (int i = 0; i < 10; ++i) {
    const std::string set =
        "set fleeting.p" + std::to_string(i) + " type=string value=\"" + std::to_string(i) + "\"";
    EXPECT_EQ(target->Count(set), 1u) << output;
    if (i > 0) {
      EXPECT_LT(At(output, "set fleeting.p" + std::to_string(i - 1) + " "), At(output, set))
          << output;
    }
  }
  Stop(*center);
}

TEST_F(ParamBatches, AChangeArrivingWhileItsItemIsUnderWayFollowsIt) {
  auto target = StartTarget(
      {"--name", "busy", "--string", "speed=0", "--string", "gain=0", "--delay-ms", "500"});
  db_->InsertItem("global_config", "speed", "1", "busy", 1);
  db_->InsertItem("global_config", "gain", "1", "busy", 1);
  // Not waiting for the ready line: the log is read from the first request on.
  auto center = StartConfigCenter();
  ASSERT_TRUE(log_.WaitFor("ParamConfigDistribute, node_name : busy, speed : 1", 3s))
      << log_.Since();
  // While the start-up request waits at the node: a newer speed, and gain changed twice.
  db_->Exec("UPDATE global_config SET value = '2' WHERE name = 'speed'");
  db_->Exec("UPDATE global_config SET value = '2' WHERE name = 'gain'");
  db_->Exec("UPDATE global_config SET value = '3' WHERE name = 'gain'");
  ASSERT_TRUE(target->WaitFor("set busy.gain type=string value=\"3\"", 4s))
      << target->Output() << log_.Since();
  const std::string output = target->Output();
  // The first request as it went; then the newest of each, gain 2 folded into gain 3.
  EXPECT_EQ(target->Count("set busy.speed type=string value=\"1\""), 1u) << output;
  EXPECT_EQ(target->Count("set busy.gain type=string value=\"1\""), 1u) << output;
  EXPECT_EQ(target->Count("set busy.gain type=string value=\"2\""), 0u) << output;
  ASSERT_EQ(target->Count("set busy.speed type=string value=\"2\""), 1u) << output;
  EXPECT_LT(At(output, "set busy.speed type=string value=\"1\""),
            At(output, "set busy.speed type=string value=\"2\""));
  EXPECT_LT(At(output, "set busy.gain type=string value=\"1\""),
            At(output, "set busy.gain type=string value=\"3\""));
  Stop(*center);
}

}  // namespace
}  // namespace config_center::test
