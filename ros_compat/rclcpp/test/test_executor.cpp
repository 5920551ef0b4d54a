// Executor behaviour within one process: timers only while spinning, one callback at a
// time, the three ends of spin_until_future_complete, and which executor owns what.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "process.hpp"

using namespace std::chrono_literals;
using GetParameters = rcl_interfaces::srv::GetParameters;
using Clock = std::chrono::steady_clock;

namespace {

class Executor : public ::testing::Test {
protected:
  static void SetUpTestSuite() { test_support::use_private_domain(); }
  void SetUp() override {
    rclcpp::init(0, nullptr);
    node_ = std::make_shared<rclcpp::Node>("exec_node");
  }
  void TearDown() override {
    node_.reset();
    rclcpp::shutdown();
  }
  rclcpp::Node::SharedPtr node_;
};

TEST_F(Executor, TimersFireOnlyWhileSpinning) {
  std::atomic<int> ticks{0};
  auto timer = node_->create_wall_timer(10ms, [&]() { ++ticks; });
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(ticks.load(), 0);

  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  std::promise<void> never;
  auto future = never.get_future();
  EXPECT_EQ(executor.spin_until_future_complete(future, 105ms), rclcpp::FutureReturnCode::TIMEOUT);
  // Missed periods are skipped, not made up: about eleven ticks (one for the missed ones,
  // one per period), not the seventeen of catching up.
  EXPECT_GE(ticks.load(), 6);
  EXPECT_LE(ticks.load(), 13);

  const int after_spin = ticks.load();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ticks.load(), after_spin);

  timer->cancel();
  EXPECT_EQ(executor.spin_until_future_complete(future, 50ms), rclcpp::FutureReturnCode::TIMEOUT);
  EXPECT_EQ(ticks.load(), after_spin);
}

TEST_F(Executor, SpinUntilFutureCompleteEnds) {
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);

  // SUCCESS as soon as a callback fulfils the future.
  std::promise<int> promise;
  auto future = promise.get_future().share();
  auto timer = node_->create_wall_timer(30ms, [&]() {
    if (future.wait_for(0s) != std::future_status::ready) promise.set_value(7);
  });
  auto start = Clock::now();
  EXPECT_EQ(executor.spin_until_future_complete(future, 1s), rclcpp::FutureReturnCode::SUCCESS);
  EXPECT_LT(Clock::now() - start, 100ms);
  EXPECT_EQ(future.get(), 7);
  timer->cancel();

  // TIMEOUT at the deadline, not long after it.
  std::promise<void> never;
  auto never_future = never.get_future();
  start = Clock::now();
  EXPECT_EQ(executor.spin_until_future_complete(never_future, 150ms),
            rclcpp::FutureReturnCode::TIMEOUT);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, 150ms);
  EXPECT_LT(waited, 250ms);

  // INTERRUPTED at once when the context is shut down from another thread.
  std::thread stopper([] {
    std::this_thread::sleep_for(50ms);
    rclcpp::shutdown();
  });
  start = Clock::now();
  EXPECT_EQ(executor.spin_until_future_complete(never_future, 5s),
            rclcpp::FutureReturnCode::INTERRUPTED);
  waited = Clock::now() - start;
  stopper.join();
  EXPECT_LT(waited, 150ms);
  // After shutdown every wait ends at once.
  EXPECT_EQ(executor.spin_until_future_complete(never_future, 5s),
            rclcpp::FutureReturnCode::INTERRUPTED);
  executor.remove_node(node_);
  node_.reset();
  rclcpp::init(0, nullptr);
}

TEST_F(Executor, CallbacksOfOneExecutorRunOneAtATime) {
  // A timer and a service on the spun node; requests come from a client spun on another
  // thread, so callbacks are always competing.
  std::atomic<int> active{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> timer_runs{0};
  std::atomic<int> service_runs{0};
  std::thread::id spin_thread;
  std::atomic<int> foreign_thread{0};
  auto enter = [&]() {
    if (++active > 1) ++overlaps;
    if (std::this_thread::get_id() != spin_thread) ++foreign_thread;
  };
  auto timer = node_->create_wall_timer(1ms, [&]() {
    enter();
    std::this_thread::sleep_for(500us);
    ++timer_runs;
    --active;
  });
  auto service = node_->create_service<GetParameters>(
      "busy",
      [&](const std::shared_ptr<GetParameters::Request>, std::shared_ptr<GetParameters::Response>) {
        enter();
        std::this_thread::sleep_for(500us);
        ++service_runs;
        --active;
      });

  auto caller = std::make_shared<rclcpp::Node>("caller");
  auto client = caller->create_client<GetParameters>("busy");
  std::atomic<int> answered{0};
  std::thread calling([&]() {
    rclcpp::executors::SingleThreadedExecutor executor;
    executor.add_node(caller);
    if (!client->wait_for_service(5s)) return;
    for (int i = 0; i < 40; ++i) {
      auto f = client->async_send_request(std::make_shared<GetParameters::Request>());
      if (executor.spin_until_future_complete(f, 2s) == rclcpp::FutureReturnCode::SUCCESS) {
        ++answered;
      }
    }
  });

  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  spin_thread = std::this_thread::get_id();
  const auto deadline = Clock::now() + 10s;
  while (answered.load() < 40 && Clock::now() < deadline) executor.spin_once(10ms);
  calling.join();

  EXPECT_EQ(answered.load(), 40);
  EXPECT_EQ(service_runs.load(), 40);
  EXPECT_GT(timer_runs.load(), 10);  // the busy service does not starve the timer
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(foreign_thread.load(), 0);
}

TEST_F(Executor, ANodeBelongsToOneExecutor) {
  rclcpp::executors::SingleThreadedExecutor first;
  rclcpp::executors::SingleThreadedExecutor second;
  first.add_node(node_);
  try {
    second.add_node(node_);
    FAIL() << "second add_node did not throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Node '/exec_node' has already been added to an executor.");
  }
  // Given back, it can join another executor.
  first.remove_node(node_);
  EXPECT_NO_THROW(second.add_node(node_));
  second.remove_node(node_);
  {
    rclcpp::executors::SingleThreadedExecutor scoped;
    scoped.add_node(node_);
  }  // a destroyed executor lets go of its nodes
  EXPECT_NO_THROW(first.add_node(node_));
}

TEST_F(Executor, GroupNotAddedWithNodeIsServedOnlyWhereItWasAdded) {
  auto own = node_->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, false);
  std::atomic<int> own_ticks{0};
  std::atomic<int> default_ticks{0};
  auto own_timer = node_->create_wall_timer(
      5ms, [&]() { ++own_ticks; }, own);
  auto default_timer = node_->create_wall_timer(5ms, [&]() { ++default_ticks; });

  rclcpp::executors::SingleThreadedExecutor with_node;
  with_node.add_node(node_);
  std::promise<void> never;
  auto future = never.get_future();
  with_node.spin_until_future_complete(future, 60ms);
  EXPECT_GT(default_ticks.load(), 5);
  EXPECT_EQ(own_ticks.load(), 0);

  rclcpp::executors::SingleThreadedExecutor with_group;
  with_group.add_callback_group(own, node_->get_node_base_interface());
  const int default_before = default_ticks.load();
  with_group.spin_until_future_complete(future, 60ms);
  EXPECT_GT(own_ticks.load(), 5);
  EXPECT_EQ(default_ticks.load(), default_before);

  // A group created later on the node is picked up by the node's executor.
  auto later = node_->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
  std::atomic<int> later_ticks{0};
  auto later_timer = node_->create_wall_timer(
      5ms, [&]() { ++later_ticks; }, later);
  with_node.spin_until_future_complete(future, 60ms);
  EXPECT_GT(later_ticks.load(), 5);
}

TEST_F(Executor, EntitiesCreatedWhileSpinningAreServed) {
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  std::promise<void> done;
  auto future = done.get_future();
  rclcpp::TimerBase::SharedPtr timer;
  std::thread adder([&]() {
    std::this_thread::sleep_for(30ms);
    // The executor is blocked in its wait (no timers yet); the new timer must wake it.
    timer = node_->create_wall_timer(1ms, [&]() {
      timer->cancel();
      done.set_value();
    });
  });
  const auto start = Clock::now();
  EXPECT_EQ(executor.spin_until_future_complete(future, 2s), rclcpp::FutureReturnCode::SUCCESS);
  EXPECT_LT(Clock::now() - start, 200ms);
  adder.join();
}

}  // namespace
