#include "bench_node/latency_floors.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "support/node_account.hpp"

namespace config_center::bench {

namespace {

std::shared_ptr<rcl_interfaces::srv::SetParameters::Request> SetRequest(const std::string& name,
                                                                        const std::string& value) {
  auto request = std::make_shared<rcl_interfaces::srv::SetParameters::Request>();
  rcl_interfaces::msg::Parameter parameter;
  parameter.name = name;
  parameter.value.type = rcl_interfaces::msg::ParameterType::PARAMETER_STRING;
  parameter.value.string_value = value;
  request->parameters.push_back(parameter);
  return request;
}

}  // namespace

FeedFloor::FeedFloor() {
  ChangeFeed::Options options;
  options.account = test::InstalledNodeAccount();
  feed_ = std::make_unique<ChangeFeed>(
      [this] {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (armed_ && !woke_) woke_ = now;
      },
      options);
  feed_->Start();
  const auto deadline = Clock::now() + 5s;
  while (!feed_->Status().up && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  if (!feed_->Status().up) {
    throw std::runtime_error("the benchmark's own change feed did not come up: " +
                             DescribeFeedStatus(feed_->Status()));
  }
}

FeedFloor::~FeedFloor() { feed_->Stop(); }

void FeedFloor::Arm() {
  std::lock_guard<std::mutex> lock(mutex_);
  armed_ = true;
  woke_.reset();
}

std::optional<Clock::time_point> FeedFloor::WokeAt(Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (woke_ || Clock::now() >= deadline) {
        armed_ = false;
        return woke_;
      }
    }
    std::this_thread::sleep_for(100us);
  }
}

BareParamCalls::BareParamCalls(const std::string& node_name)
    : node_(std::make_shared<rclcpp::Node>(node_name)) {
  // Humble's single-threaded executor collects every client again on each wake-up; its
  // static one does not (rclcpp 28's single-threaded executor keeps its collection).
#if RCLCPP_VERSION_MAJOR >= 28
  executor_ = std::make_unique<rclcpp::executors::SingleThreadedExecutor>();
#else
  executor_ = std::make_unique<rclcpp::executors::StaticSingleThreadedExecutor>();
#endif
  executor_->add_node(node_);
}

BareParamCalls::~BareParamCalls() {
  clients_.clear();
  executor_->remove_node(node_);
}

void BareParamCalls::Discover(const std::vector<std::string>& node_names) {
  for (const std::string& name : node_names) {
    auto client = node_->create_client<SetParameters>("/" + name + "/set_parameters");
    if (!client->wait_for_service(10s)) {
      throw std::runtime_error("no set_parameters service of " + name + " within 10 s");
    }
    clients_.emplace_back(name, std::move(client));
  }
}

double BareParamCalls::RoundTrip(const std::string& node_name, const std::string& name,
                                 const std::string& value, Clock::time_point* sent) {
  for (auto& [target, client] : clients_) {
    if (target != node_name) continue;
    auto request = SetRequest(name, value);
    *sent = Clock::now();
    auto answer = client->async_send_request(request);
    if (executor_->spin_until_future_complete(answer.future, 1s) !=
        rclcpp::FutureReturnCode::SUCCESS) {
      throw std::runtime_error("no answer from " + node_name + " within 1 s");
    }
    return Ms(Clock::now() - *sent);
  }
  throw std::runtime_error(node_name + " was not discovered");
}

double BareParamCalls::FanOut(const std::string& name, const std::string& value) {
  std::vector<rclcpp::Client<SetParameters>::SharedFuture> answers;
  answers.reserve(clients_.size());
  const auto first = Clock::now();
  for (auto& [target, client] : clients_) {
    answers.push_back(client->async_send_request(SetRequest(name, value)).future.share());
  }
  const auto deadline = first + 1s;
  for (auto& answer : answers) {
    const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
    if (executor_->spin_until_future_complete(answer, left) != rclcpp::FutureReturnCode::SUCCESS) {
      throw std::runtime_error("a fanned-out request had no answer within 1 s");
    }
  }
  return Ms(Clock::now() - first);
}

}  // namespace config_center::bench
