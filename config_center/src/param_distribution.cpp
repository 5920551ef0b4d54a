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
  const std::string service_name = "/" + item.node_name + "/set_parameters";
  std::string why;
  // Checked before any call, the type lookup included: a substitution such as "{node}"
  // would reach this node's own services, which never answer inside the timer callback.
  if (!IsValidServiceName(service_name, &why)) {
    LOG_ERROR("Set parameters call to {} failed: {}", service_name, why);
    return Outcome::kNever;
  }
  rcl_interfaces::msg::Parameter parameter;
  parameter.name = item.name;
  switch (TypeParameterValue(item, &parameter.value)) {
    case ValueFit::kSend:
      break;
    case ValueFit::kDone:
      // A text that does not fit (logged, handled like a refused value), or ROS shutting down.
      return Outcome::kDone;
    case ValueFit::kUnreachable:
      return Outcome::kLater;
  }
  auto request = std::make_shared<SetParameters::Request>();
  request->parameters.push_back(std::move(parameter));
  const Outcome outcome = CallSetParameters(service_name, std::move(request));
  NoteParamCall(item.node_name, outcome == Outcome::kDone);
  return outcome;
}

Outcome ConfigCenter::CallSetParameters(std::string service_name,
                                        std::shared_ptr<SetParameters::Request> request) {
  using Call = ParamServiceClients::Outcome;
  const ParamCallContext context{node_.get(), param_call_group_, param_call_executor_.get()};
  SetParameters::Response::SharedPtr response;
  switch (set_clients_.Call<SetParameters>(context, service_name, request,
                                           std::chrono::steady_clock::now() + kAnswerDeadline,
                                           &response)) {
    case Call::kAnswered:
      LogRefusals(service_name, *request, *response);
      return Outcome::kDone;
    case Call::kShutdown:
      // Shutting down ends the wait early; like an interrupted answer, that is no failure.
      return Outcome::kDone;
    case Call::kNoService:
    case Call::kNoAnswer:
      return Outcome::kLater;
    case Call::kInvalidName:
      LOG_ERROR("Set parameters call to {} failed: {}", service_name, set_clients_.last_error());
      return Outcome::kNever;
    case Call::kError:
      break;
  }
  LOG_ERROR("Set parameters call to {} failed: {}", service_name, set_clients_.last_error());
  return Outcome::kLater;
}

}  // namespace config_center
