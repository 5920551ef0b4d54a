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

}  // namespace
