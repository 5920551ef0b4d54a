#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <rclcpp/rclcpp.hpp>

#include "stop_signals/stop_signals.hpp"

namespace {

using namespace std::chrono_literals;

bool WaitUntilStopped(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (rclcpp::ok()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Each case makes its own StopSignals before rclcpp::init, as a main does; the process's
// threads keep both signals blocked throughout, so a signal sent to the process can only be
// taken by the StopSignals thread of the case that sent it.
TEST(StopSignals, FinishReturnsOnlyOnceTheSignalsShutdownHasRunToItsEnd) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    stop_signals::StopSignals stop_signals;
    rclcpp::init(0, nullptr, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
    // A slow part of the shutdown: the client library's callbacks run after the context is
    // already invalid, which is when spinning ends and a main would start taking things down.
    std::atomic<bool> callbacks_done{false};
    auto context = rclcpp::contexts::get_global_default_context();
    auto slow = context->add_on_shutdown_callback([&callbacks_done] {
      std::this_thread::sleep_for(300ms);
      callbacks_done = true;
    });
    ASSERT_EQ(kill(getpid(), signal_number), 0);
    ASSERT_TRUE(WaitUntilStopped(2s)) << "signal " << signal_number << " did not stop ROS";
    stop_signals.Finish();
    EXPECT_TRUE(callbacks_done) << "Finish returned while the shutdown was still running";
    EXPECT_EQ(context->shutdown_reason(), "stopped by a signal");
    context->remove_on_shutdown_callback(slow);
  }
}

TEST(StopSignals, ASignalBeforeTheContextExistsIsKeptUntilItDoes) {
  stop_signals::StopSignals stop_signals;
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  std::this_thread::sleep_for(50ms);
  rclcpp::init(0, nullptr, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
  EXPECT_TRUE(WaitUntilStopped(2s)) << "the early signal was lost";
  stop_signals.Finish();
}

TEST(StopSignals, ASignalsShutdownWaitsWhileEntitiesAreBeingMade) {
  stop_signals::StopSignals stop_signals;
  rclcpp::init(0, nullptr, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
  auto making = stop_signals.HoldShutdown();
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(rclcpp::ok()) << "shut down while a hold was kept";
  making.Release();
  EXPECT_TRUE(WaitUntilStopped(2s)) << "the signal was lost while held";
  stop_signals.Finish();
}

TEST(StopSignals, WithoutASignalFinishReturnsAtOnceAndLeavesROSRunning) {
  stop_signals::StopSignals stop_signals;
  rclcpp::init(0, nullptr, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
  const auto started = std::chrono::steady_clock::now();
  stop_signals.Finish();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
  EXPECT_TRUE(rclcpp::ok());
  stop_signals.Finish();  // a second call (the destructor's) is harmless
  rclcpp::shutdown();
}

}  // namespace
