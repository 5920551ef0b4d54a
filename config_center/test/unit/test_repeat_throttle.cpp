// How a failure repeating on every tick reaches the log.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include "logging/logging.hpp"
#include "logging/repeat_throttle.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> written;

// Stands in for the file logger: the throttle diverts records itself, so the test takes them
// where they finally go.
class RepeatThrottleTest : public ::testing::Test {
protected:
  void SetUp() override {
    written.clear();
    GetLogger() = std::make_shared<spdlog::logger>("throttle_test", sink_);
    GetLogger()->set_level(spdlog::level::debug);
  }
  void TearDown() override { GetLogger().reset(); }

  struct Sink : spdlog::sinks::base_sink<std::mutex> {
    void sink_it_(const spdlog::details::log_msg& msg) override {
      written.emplace_back(msg.payload.data(), msg.payload.size());
    }
    void flush_() override {}
  };
  std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
};

std::string Fail(const std::string& what) {
  LOG_ERROR("failing: {}", what);
  return what;
}

TEST_F(RepeatThrottleTest, RepeatsAreLeftOutAndCountedUntilTheIntervalPasses) {
  RepeatThrottle throttle(200ms);
  for (int i = 0; i < 50; ++i) throttle.Run([] { return Fail("db down"); });
  EXPECT_EQ(written, std::vector<std::string>{"failing: db down"});
  EXPECT_EQ(throttle.left_out(), 49u);

  std::this_thread::sleep_for(220ms);
  throttle.Run([] { return Fail("db down"); });
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[1],
            "The last failure repeated 49 more times; those repeats were left out of the log");
  EXPECT_EQ(written[2], "failing: db down");
}

TEST_F(RepeatThrottleTest, AChangeOrASuccessIsWrittenAtOnce) {
  RepeatThrottle throttle(10s);
  throttle.Run([] { return Fail("row 7"); });
  throttle.Run([] { return Fail("row 7"); });
  throttle.Run([] { return Fail("row 8"); });
  throttle.Run([] {
    LOG_DEBUG("applied");
    return std::string();
  });
  throttle.Run([] {
    LOG_DEBUG("applied again");
    return std::string();
  });
  const std::string note =
      "The last failure repeated 1 more times; those repeats were left out of the log";
  EXPECT_EQ(written, (std::vector<std::string>{"failing: row 7", note, "failing: row 8", "applied",
                                               "applied again"}));
}

TEST_F(RepeatThrottleTest, ARepeatFoldsOnlyWhatTheWrittenOneLogged) {
  RepeatThrottle throttle(10s);
  throttle.Run([] { return Fail("db down"); });
  // The same failure, and in the same pass a one-off record of something else: the one-off
  // is no repeat and must reach the log.
  throttle.Run([] {
    LOG_ERROR("Gave up waiting for change-log id 7");
    return Fail("db down");
  });
  throttle.Run([] { return Fail("db down"); });
  EXPECT_EQ(written,
            (std::vector<std::string>{"failing: db down", "Gave up waiting for change-log id 7"}));
  EXPECT_EQ(throttle.left_out(), 2u);
}

}  // namespace
}  // namespace config_center
