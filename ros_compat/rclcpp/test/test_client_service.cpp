// Client and service forms within one process (local delivery through the one
// participant): callback and header variants, deferred answers, replies routed to the
// right client, and what shutdown does to waits and to the context.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "process.hpp"

using namespace std::chrono_literals;
using GetParameters = rcl_interfaces::srv::GetParameters;
using Clock = std::chrono::steady_clock;

namespace {

std::shared_ptr<GetParameters::Request> ask(const std::string& name) {
  auto request = std::make_shared<GetParameters::Request>();
  request->names.push_back(name);
  return request;
}

void answer(const GetParameters::Request& request, GetParameters::Response& response,
            const std::string& tag) {
  for (const auto& n : request.names) {
    rcl_interfaces::msg::ParameterValue v;
    v.string_value = tag + ":" + n;
    response.values.push_back(v);
  }
}

class ClientService : public ::testing::Test {
protected:
  static void SetUpTestSuite() { test_support::use_private_domain(); }
  void SetUp() override {
    rclcpp::init(0, nullptr);
    node_ = std::make_shared<rclcpp::Node>("forms");
  }
  void TearDown() override {
    node_.reset();
    rclcpp::shutdown();
  }
  rclcpp::Node::SharedPtr node_;
};

TEST_F(ClientService, CallbackFormsAndRouting) {
  // Header form: the header carries the client's sequence number.
  std::vector<int64_t> seen_sequence_numbers;
  auto with_header = node_->create_service<GetParameters>(
      "with_header", [&](const std::shared_ptr<rmw_request_id_t> header,
                         const std::shared_ptr<GetParameters::Request> request,
                         std::shared_ptr<GetParameters::Response> response) {
        seen_sequence_numbers.push_back(header->sequence_number);
        answer(*request, *response, "h");
      });
  // Deferred form: answered later through send_response.
  std::vector<std::pair<rmw_request_id_t, std::shared_ptr<GetParameters::Request>>> held;
  rclcpp::Service<GetParameters>::SharedPtr deferred;
  deferred = node_->create_service<GetParameters>(
      "deferred", [&](const std::shared_ptr<rmw_request_id_t> header,
                      const std::shared_ptr<GetParameters::Request> request) {
        held.emplace_back(*header, request);
      });

  auto a = node_->create_client<GetParameters>("with_header");
  auto b = node_->create_client<GetParameters>("with_header");
  ASSERT_TRUE(a->wait_for_service(2s));
  ASSERT_TRUE(b->wait_for_service(2s));

  // Two clients of one service: each reply reaches only the client that asked.
  auto fa1 = a->async_send_request(ask("a1"));
  auto fa2 = a->async_send_request(ask("a2"));
  auto fb1 = b->async_send_request(ask("b1"));
  EXPECT_EQ(fa2.request_id, fa1.request_id + 1);
  EXPECT_EQ(fb1.request_id, fa1.request_id);  // numbering is per client
  std::atomic<int> callback_calls{0};
  std::string callback_value;
  auto fb2 = b->async_send_request(ask("b2"), [&](rclcpp::Client<GetParameters>::SharedFuture f) {
    ++callback_calls;
    callback_value = f.get()->values.at(0).string_value;
  });
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, fb2, 2s), rclcpp::FutureReturnCode::SUCCESS);
  for (auto* f : {&fa1, &fa2, &fb1}) {
    ASSERT_EQ(rclcpp::spin_until_future_complete(node_, *f, 2s), rclcpp::FutureReturnCode::SUCCESS);
  }
  EXPECT_EQ(fa1.get()->values.at(0).string_value, "h:a1");
  EXPECT_EQ(fa2.get()->values.at(0).string_value, "h:a2");
  EXPECT_EQ(fb1.get()->values.at(0).string_value, "h:b1");
  EXPECT_EQ(callback_calls.load(), 1);
  EXPECT_EQ(callback_value, "h:b2");
  EXPECT_EQ(seen_sequence_numbers.size(), 4u);

  auto c = node_->create_client<GetParameters>("deferred");
  ASSERT_TRUE(c->wait_for_service(2s));
  auto fc = c->async_send_request(ask("later"));
  EXPECT_EQ(rclcpp::spin_until_future_complete(node_, fc, 100ms),
            rclcpp::FutureReturnCode::TIMEOUT);
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].first.sequence_number, fc.request_id);
  GetParameters::Response response;
  answer(*held[0].second, response, "d");
  deferred->send_response(held[0].first, response);
  ASSERT_EQ(rclcpp::spin_until_future_complete(node_, fc, 2s), rclcpp::FutureReturnCode::SUCCESS);
  EXPECT_EQ(fc.get()->values.at(0).string_value, "d:later");
}

TEST_F(ClientService, ShutdownEndsWaitsAndInvalidatesTheContext) {
  int shutdown_callbacks = 0;
  rclcpp::on_shutdown([&]() { ++shutdown_callbacks; });
  EXPECT_THROW(rclcpp::init(0, nullptr), rclcpp::ContextAlreadyInitialized);

  auto client = node_->create_client<GetParameters>("/nobody/here");
  std::thread stopper([] {
    std::this_thread::sleep_for(50ms);
    rclcpp::shutdown();
  });
  const auto start = Clock::now();
  EXPECT_FALSE(client->wait_for_service(5s));
  EXPECT_LT(Clock::now() - start, 500ms);
  stopper.join();

  EXPECT_FALSE(rclcpp::ok());
  EXPECT_EQ(shutdown_callbacks, 1);
  EXPECT_FALSE(rclcpp::shutdown());  // already shut down
  EXPECT_EQ(shutdown_callbacks, 1);
  EXPECT_FALSE(client->wait_for_service(1s));
  EXPECT_FALSE(rclcpp::sleep_for(20ms));  // false: the context is no longer valid
  EXPECT_EQ(rclcpp::contexts::get_global_default_context()->shutdown_reason(),
            "user called rclcpp::shutdown()");

  // A new init brings the context back for the nodes that still exist.
  rclcpp::init(0, nullptr);
  auto service = node_->create_service<GetParameters>(
      "/back",
      [](const std::shared_ptr<GetParameters::Request> request,
         std::shared_ptr<GetParameters::Response> response) { answer(*request, *response, "b"); });
  auto again = node_->create_client<GetParameters>("/back");
  ASSERT_TRUE(again->wait_for_service(2s));
  auto f = again->async_send_request(ask("x"));
  EXPECT_EQ(rclcpp::spin_until_future_complete(node_, f, 2s), rclcpp::FutureReturnCode::SUCCESS);
}

TEST_F(ClientService, ParameterOverridesFromTheCommandLine) {
  rclcpp::shutdown();
  const char* argv[] = {"prog", "--ros-args",    "-p", "count:=5",    "-p", "ratio:=0.5",
                        "-p",   "other:name:=x", "-p", "label:=hello"};
  rclcpp::init(sizeof(argv) / sizeof(argv[0]), argv);
  auto node = std::make_shared<rclcpp::Node>("over");
  EXPECT_EQ(node->declare_parameter("count", 0), 5);
  EXPECT_DOUBLE_EQ(node->declare_parameter("ratio", 1.0), 0.5);
  EXPECT_EQ(node->declare_parameter("label", std::string("none")), "hello");
  EXPECT_EQ(node->declare_parameter("name", std::string("mine")), "mine");  // for node "other"
  // Without parameter services, the node offers none.
  auto quiet = std::make_shared<rclcpp::Node>(
      "quiet", rclcpp::NodeOptions().start_parameter_services(false));
  auto probe = node->create_client<GetParameters>("/quiet/get_parameters");
  EXPECT_FALSE(probe->wait_for_service(300ms));
  auto loud = node->create_client<GetParameters>("/over/get_parameters");
  EXPECT_TRUE(loud->wait_for_service(2s));
}

}  // namespace
