// Nodes in separate processes over Cyclone DDS: discovery, round trips, service readiness,
// late answers, the parameter services, waiting from inside a timer callback, remapping.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "process.hpp"

using namespace std::chrono_literals;
using GetParameters = rcl_interfaces::srv::GetParameters;
using SetParameters = rcl_interfaces::srv::SetParameters;
using test_support::Child;

namespace {

class MultiProcess : public ::testing::Test {
protected:
  static void SetUpTestSuite() { test_support::use_private_domain(); }
  void SetUp() override {
    rclcpp::init(0, nullptr);
    node_ = std::make_shared<rclcpp::Node>("tester");
  }
  void TearDown() override {
    node_.reset();
    rclcpp::shutdown();
  }

  static std::unique_ptr<Child> start_target(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{test_support::program_path("target_node")};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<Child>(argv);
  }

  std::shared_ptr<GetParameters::Request> names(std::vector<std::string> n) {
    auto request = std::make_shared<GetParameters::Request>();
    request->names = std::move(n);
    return request;
  }

  rclcpp::Node::SharedPtr node_;
};

TEST_F(MultiProcess, DiscoveryAndRoundTrip) {
  auto target = start_target({"target"});
  ASSERT_EQ(target->wait_for_line("READY"), "READY /target /target/echo");

  auto client = node_->create_client<GetParameters>("/target/echo");
  EXPECT_STREQ(client->get_service_name(), "/target/echo");
  ASSERT_TRUE(client->wait_for_service(5s));
  EXPECT_TRUE(client->service_is_ready());

  // Several requests in flight at once: each answer reaches its own future.
  auto f1 = client->async_send_request(names({"a", "b"}));
  auto f2 = client->async_send_request(names({"c"}));
  EXPECT_NE(f1.request_id, f2.request_id);
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, f2, 5s), rclcpp::FutureReturnCode::SUCCESS);
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, f1, 5s), rclcpp::FutureReturnCode::SUCCESS);
  auto r1 = f1.get();
  auto r2 = f2.get();
  ASSERT_EQ(r1->values.size(), 2u);
  EXPECT_EQ(r1->values[0].string_value, "a@/target");
  EXPECT_EQ(r1->values[1].string_value, "b@/target");
  ASSERT_EQ(r2->values.size(), 1u);
  EXPECT_EQ(r2->values[0].string_value, "c@/target");

  target->signal(SIGTERM);
  EXPECT_EQ(target->wait_for_line("EXIT", 3s), "EXIT");
  EXPECT_EQ(target->wait_exit(), 0);
}

TEST_F(MultiProcess, ServiceIsReadyFollowsTheServer) {
  auto client = node_->create_client<GetParameters>("/late/echo");
  EXPECT_FALSE(client->service_is_ready());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client->wait_for_service(200ms));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 200ms);
  EXPECT_LT(waited, 400ms);

  // wait_for_service wakes on discovery, well before its timeout.
  auto target = start_target({"late"});
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->wait_for_service(10s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_TRUE(client->service_is_ready());

  // A server that goes away is no longer reported.
  target->signal(SIGTERM);
  ASSERT_EQ(target->wait_exit(), 0);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (client->service_is_ready() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(client->service_is_ready());
}

TEST_F(MultiProcess, LateAnswerAfterRemovePendingRequestIsIgnored) {
  auto target = start_target({"slow", "--delay-ms", "300"});
  ASSERT_FALSE(target->wait_for_line("READY").empty());
  auto client = node_->create_client<GetParameters>("/slow/echo");
  ASSERT_TRUE(client->wait_for_service(5s));

  auto late = client->async_send_request(names({"late"}));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rclcpp::spin_until_future_complete(node_, late, 100ms),
            rclcpp::FutureReturnCode::TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
  EXPECT_TRUE(client->remove_pending_request(late));
  EXPECT_FALSE(client->remove_pending_request(late.request_id));

  // The server answers in order, so once the second answer is in, the first has arrived
  // (and must have been dropped).
  auto next = client->async_send_request(names({"next"}));
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, next, 5s), rclcpp::FutureReturnCode::SUCCESS);
  auto response = next.get();
  ASSERT_EQ(response->values.size(), 1u);
  EXPECT_EQ(response->values[0].string_value, "next@/slow");
  // Dropping the entry broke its promise (as in rclcpp); the late answer did not fill it.
  ASSERT_EQ(late.wait_for(0s), std::future_status::ready);
  EXPECT_THROW(late.get(), std::future_error);
  EXPECT_EQ(client->prune_pending_requests(), 0u);
}

TEST_F(MultiProcess, ParameterServices) {
  auto target = start_target({"params"});
  ASSERT_FALSE(target->wait_for_line("READY").empty());
  auto set = node_->create_client<SetParameters>("/params/set_parameters");
  auto get = node_->create_client<GetParameters>("/params/get_parameters");
  ASSERT_TRUE(set->wait_for_service(5s));
  ASSERT_TRUE(get->wait_for_service(5s));

  auto set_request = [](const std::string& name, const rclcpp::ParameterValue& value) {
    auto request = std::make_shared<SetParameters::Request>();
    request->parameters.push_back(rclcpp::Parameter(name, value).to_parameter_msg());
    return request;
  };

  // "count" was declared as an integer: a string is refused with a reason.
  auto refused = set->async_send_request(set_request("count", rclcpp::ParameterValue("ten")));
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, refused, 5s),
            rclcpp::FutureReturnCode::SUCCESS);
  auto refusal = refused.get();
  ASSERT_EQ(refusal->results.size(), 1u);
  EXPECT_FALSE(refusal->results[0].successful);
  EXPECT_FALSE(refusal->results[0].reason.empty());

  auto accepted = set->async_send_request(set_request("count", rclcpp::ParameterValue(10)));
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, accepted, 5s),
            rclcpp::FutureReturnCode::SUCCESS);
  auto acceptance = accepted.get();
  ASSERT_EQ(acceptance->results.size(), 1u);
  EXPECT_TRUE(acceptance->results[0].successful) << acceptance->results[0].reason;

  auto read = get->async_send_request(names({"count", "label"}));
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, read, 5s), rclcpp::FutureReturnCode::SUCCESS);
  auto values = read.get();
  ASSERT_EQ(values->values.size(), 2u);
  EXPECT_EQ(values->values[0].type, rcl_interfaces::msg::ParameterType::PARAMETER_INTEGER);
  EXPECT_EQ(values->values[0].integer_value, 10);
  EXPECT_EQ(values->values[1].string_value, "none");
}

// The way a call can wait from inside a timer callback of a node that rclcpp::spin runs:
// the client lives in a callback group that is not added with the node, and a private
// executor serves that group alone.
TEST_F(MultiProcess, WaitInsideTimerCallbackThroughOwnCallbackGroup) {
  auto target = start_target({"inner"});
  ASSERT_FALSE(target->wait_for_line("READY").empty());

  auto group = node_->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, false);
  auto client =
      node_->create_client<GetParameters>("/inner/echo", rmw_qos_profile_services_default, group);
  rclcpp::executors::SingleThreadedExecutor private_executor;
  private_executor.add_callback_group(group, node_->get_node_base_interface());
  // The group is taken: no second executor may have it.
  rclcpp::executors::SingleThreadedExecutor other;
  EXPECT_THROW(other.add_callback_group(group, node_->get_node_base_interface()),
               std::runtime_error);

  int answered = 0;
  int calls = 0;
  std::string nested_error;
  auto timer = node_->create_wall_timer(5ms, [&]() {
    if (calls == 0) {
      // The spun node cannot be given to a second executor.
      auto unused = client->async_send_request(names({"x"}));
      try {
        rclcpp::spin_until_future_complete(node_, unused, 10ms);
      } catch (const std::runtime_error& e) {
        nested_error = e.what();
      }
      client->remove_pending_request(unused);
    }
    if (!client->wait_for_service(2s)) return;
    auto future = client->async_send_request(names({"call" + std::to_string(calls)}));
    if (private_executor.spin_until_future_complete(future, 1s) ==
            rclcpp::FutureReturnCode::SUCCESS &&
        future.get()->values.at(0).string_value == "call" + std::to_string(calls) + "@/inner") {
      ++answered;
    }
    if (++calls == 5) rclcpp::shutdown();
  });
  rclcpp::spin(node_);

  EXPECT_EQ(nested_error, "Node '/tester' has already been added to an executor.");
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(answered, 5);
  rclcpp::init(0, nullptr);  // TearDown shuts down again
}

TEST_F(MultiProcess, RemappingOnTheCommandLine) {
  auto target = start_target({"orig", "--ros-args", "-r", "__node:=other", "-r", "__ns:=/remapped",
                              "-r", "~/echo:=/moved/echo"});
  ASSERT_EQ(target->wait_for_line("READY"), "READY /remapped/other /moved/echo");
  auto get = node_->create_client<GetParameters>("/remapped/other/get_parameters");
  ASSERT_TRUE(get->wait_for_service(5s));
  auto read = get->async_send_request(names({"count"}));
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, read, 5s), rclcpp::FutureReturnCode::SUCCESS);
  ASSERT_EQ(read.get()->values.size(), 1u);

  auto echo = node_->create_client<GetParameters>("/moved/echo");
  ASSERT_TRUE(echo->wait_for_service(5s));
  auto answer = echo->async_send_request(names({"n"}));
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, answer, 5s),
            rclcpp::FutureReturnCode::SUCCESS);
  EXPECT_EQ(answer.get()->values.at(0).string_value, "n@/remapped/other");
}

}  // namespace
