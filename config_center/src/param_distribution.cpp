#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include <rcl_interfaces/msg/parameter.hpp>
#include <rcl_interfaces/msg/parameter_type.hpp>

#include "config_center/config_center.hpp"
#include "config_center/logging.hpp"

namespace config_center {

namespace {

using rcl_interfaces::srv::SetParameters;

// Covers finding the service and its answer together.
constexpr std::chrono::seconds kAnswerDeadline{1};

std::chrono::nanoseconds TimeLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  return left > std::chrono::nanoseconds::zero() ? left : std::chrono::nanoseconds::zero();
}

}  // namespace

bool ConfigCenter::ParamConfigDistribute(const ConfigData& item) {
  LOG_DEBUG("ParamConfigDistribute, node_name : {}, {} : {}", item.node_name, item.name,
            item.value);
  rcl_interfaces::msg::Parameter parameter;
  parameter.name = item.name;
  switch (TypeParameterValue(item, &parameter.value)) {
    case ValueFit::kSend:
      break;
    case ValueFit::kDone:
      return true;  // a text that does not fit (logged, handled like a refused value) or
                    // ROS shutting down
    case ValueFit::kUnreachable:
      return false;
  }
  auto request = std::make_shared<SetParameters::Request>();
  request->parameters.push_back(std::move(parameter));
  const bool answered =
      CallSetParameters("/" + item.node_name + "/set_parameters", std::move(request));
  NoteParamCall(item.node_name, answered);
  return answered;
}

bool ConfigCenter::CallSetParameters(std::string service_name,
                                     std::shared_ptr<SetParameters::Request> request) {
  const auto deadline = std::chrono::steady_clock::now() + kAnswerDeadline;
  try {
    // A client that has found its service once answers the next call without a new
    // discovery; one that failed is made again, so a restarted target is found afresh.
    auto& client = param_clients_[service_name];
    if (!client) {
      client = node_->create_client<SetParameters>(service_name, rmw_qos_profile_services_default,
                                                   param_call_group_);
    }
    // A request written before the client has matched the service is lost on the wire,
    // so look for the service first, within the same deadline.
    if (!client->wait_for_service(TimeLeft(deadline))) {
      param_clients_.erase(service_name);
      // Shutting down ends the wait early; like an interrupted answer, that is no failure.
      return !rclcpp::ok();
    }
    auto future = client->async_send_request(std::move(request));
    const auto code = param_call_executor_->spin_until_future_complete(future, TimeLeft(deadline));
    if (code == rclcpp::FutureReturnCode::TIMEOUT) {
      client->remove_pending_request(future);
      param_clients_.erase(service_name);
      return false;
    }
    return true;
  } catch (const std::exception& error) {
    param_clients_.erase(service_name);
    LOG_ERROR("Set parameters call to {} failed: {}", service_name, error.what());
    return false;
  }
}

}  // namespace config_center
