// SIGINT and SIGTERM end a wait at once: rclcpp::spin of a serving node, and a
// spin_until_future_complete waiting on an answer that will never come.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "process.hpp"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test_support::Child;

namespace {

class Signals : public ::testing::TestWithParam<int> {
protected:
  static void SetUpTestSuite() { test_support::use_private_domain(); }
};

TEST_P(Signals, EndSpinUntilFutureCompleteAtOnce) {
  Child child({test_support::program_path("waiting_client")});
  ASSERT_EQ(child.wait_for_line("WAITING"), "WAITING");
  std::this_thread::sleep_for(200ms);  // well inside the 30 s wait
  const auto sent = Clock::now();
  child.signal(GetParam());
  const std::string result = child.wait_for_line("RESULT", 3s);
  const auto took = Clock::now() - sent;
  std::istringstream in(result);
  std::string tag, code;
  long long waited_ms = -1;
  in >> tag >> code >> waited_ms;
  EXPECT_EQ(code, "INTERRUPTED") << result;
  EXPECT_LT(took, 150ms);
  EXPECT_GE(waited_ms, 150);  // it did wait until the signal came
  EXPECT_LT(waited_ms, 1000);
  EXPECT_EQ(child.wait_exit(), 0);
}

TEST_P(Signals, EndRclcppSpinAndLetMainReturn) {
  Child child({test_support::program_path("target_node"), "spinner"});
  ASSERT_FALSE(child.wait_for_line("READY").empty());
  std::this_thread::sleep_for(100ms);
  const auto sent = Clock::now();
  child.signal(GetParam());
  EXPECT_EQ(child.wait_for_line("EXIT", 3s), "EXIT");
  EXPECT_LT(Clock::now() - sent, 150ms);
  EXPECT_EQ(child.wait_exit(), 0);
}

INSTANTIATE_TEST_SUITE_P(SigIntAndSigTerm, Signals, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

}  // namespace
