#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include <rmw/validate_full_topic_name.h>
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

// The client library refuses an invalid name, and would expand a substitution such as
// "{node}" into a name of its own choosing; neither can ever reach the node the item names.
bool IsValidServiceName(const std::string& service_name, std::string* why) {
  int validity = RMW_TOPIC_VALID;
  size_t at = 0;
  if (rmw_validate_full_topic_name(service_name.c_str(), &validity, &at) != RMW_RET_OK) {
    rmw_reset_error();
    return true;  // not judged here; creating the client will tell
  }
  if (validity == RMW_TOPIC_VALID) return true;
  *why = std::string("invalid service name: ") +
         rmw_full_topic_name_validation_result_string(validity) + " (at index " +
         std::to_string(at) + ")";
  return false;
}

// An answer still counts as handled when the target refused a parameter, but the operator
// has to know: the item is not in effect there.
void LogRefusals(const std::string& service_name, const SetParameters::Request& request,
                 const SetParameters::Response& response) {
  const std::string target = service_name.substr(0, service_name.rfind("/set_parameters"));
  for (size_t i = 0; i < response.results.size(); ++i) {
    if (response.results[i].successful) continue;
    const std::string name = i < request.parameters.size() ? request.parameters[i].name : "";
    LOG_ERROR("Node {} refused parameter {}: {}", target, name, response.results[i].reason);
  }
}

}  // namespace

Outcome ConfigCenter::ParamConfigDistribute(const ConfigData& item) {
  LOG_DEBUG("ParamConfigDistribute, node_name : {}, {} : {}", item.node_name, item.name,
            item.value);
  rcl_interfaces::msg::Parameter parameter;
  parameter.name = item.name;
  if (item.value.empty()) {
    parameter.value.type = rcl_interfaces::msg::ParameterType::PARAMETER_NOT_SET;
  } else {
    parameter.value.type = rcl_interfaces::msg::ParameterType::PARAMETER_STRING;
    parameter.value.string_value = item.value;
  }
  auto request = std::make_shared<SetParameters::Request>();
  request->parameters.push_back(std::move(parameter));
  return CallSetParameters("/" + item.node_name + "/set_parameters", std::move(request));
}

Outcome ConfigCenter::CallSetParameters(std::string service_name,
                                        std::shared_ptr<SetParameters::Request> request) {
  const auto deadline = std::chrono::steady_clock::now() + kAnswerDeadline;
  std::string why;
  if (!IsValidServiceName(service_name, &why)) {
    LOG_ERROR("Set parameters call to {} failed: {}", service_name, why);
    return Outcome::kNever;
  }
  try {
    // A client that has found its service once answers the next call without a new
    // discovery; one that failed is made again, so a restarted target is found afresh.
    auto& client = param_clients_[service_name];
    if (!client) {
      client = node_->create_client<SetParameters>(service_name, rmw_qos_profile_services_default,
                                                   param_call_group_);
    }
    // A request written before the client has matched the service is lost on the wire,
    // so look for the service first, within the same deadline. Asking a kept client first
    // spares the graph event that wait_for_service sets up (it wakes the graph listener).
    if (!client->service_is_ready() && !client->wait_for_service(TimeLeft(deadline))) {
      param_clients_.erase(service_name);
      // Shutting down ends the wait early; like an interrupted answer, that is no failure.
      return rclcpp::ok() ? Outcome::kLater : Outcome::kDone;
    }
    auto future = client->async_send_request(request);
    const auto code = param_call_executor_->spin_until_future_complete(future, TimeLeft(deadline));
    if (code == rclcpp::FutureReturnCode::TIMEOUT) {
      client->remove_pending_request(future);
      param_clients_.erase(service_name);
      return Outcome::kLater;
    }
    if (code == rclcpp::FutureReturnCode::SUCCESS) {
      LogRefusals(service_name, *request, *future.get());
    }
    return Outcome::kDone;
  } catch (const rclcpp::exceptions::NameValidationError& error) {
    param_clients_.erase(service_name);
    LOG_ERROR("Set parameters call to {} failed: {}", service_name, error.what());
    return Outcome::kNever;
  } catch (const std::exception& error) {
    param_clients_.erase(service_name);
    LOG_ERROR("Set parameters call to {} failed: {}", service_name, error.what());
    return Outcome::kLater;
  }
}

}  // namespace config_center
