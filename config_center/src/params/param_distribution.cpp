#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include <rcl_interfaces/msg/parameter.hpp>
#include <rcl_interfaces/msg/parameter_type.hpp>

#include "node/config_center.hpp"
#include "logging/logging.hpp"
#include "params/param_service_name.hpp"

namespace config_center {

namespace {

using rcl_interfaces::srv::SetParameters;
using Result = ParamCalls::Result;

// Covers finding the service and its answer together.
constexpr std::chrono::seconds kAnswerDeadline{1};

// An answer still counts as handled when the target refused a parameter, but the operator
// has to know: the item is not in effect there.
void LogRefusals(const std::string& node_name, const SetParameters::Request& request,
                 const SetParameters::Response& response) {
  for (size_t i = 0; i < response.results.size(); ++i) {
    if (response.results[i].successful) continue;
    const std::string name = i < request.parameters.size() ? request.parameters[i].name : "";
    LOG_ERROR("Node /{} refused parameter {}: {}", node_name, name, response.results[i].reason);
  }
}

}  // namespace

void ConfigCenter::ParamConfigDistribute(const Target& target, const PendingChange& change) {
  const ConfigData& item = change.item;
  if (!change.announced) {
    LOG_DEBUG("ParamConfigDistribute, node_name : {}, {} : {}", item.node_name, item.name,
              item.value);
  }
  if (item.value.empty()) {
    // The withdrawal form needs no type: a parameter that is not set.
    rcl_interfaces::msg::Parameter parameter;
    parameter.name = item.name;
    CallSetParameters(target, std::move(parameter));
    return;
  }
  TypeAndSend(target, item);
}

void ConfigCenter::CallSetParameters(const Target& target,
                                     rcl_interfaces::msg::Parameter parameter) {
  const std::string service = ParamServiceName(target.name, kSetParameters);
  auto request = std::make_shared<SetParameters::Request>();
  request->parameters.push_back(std::move(parameter));
  calls_.Start<SetParameters>(
      service, request, ParamCalls::Clock::now() + kAnswerDeadline,
      [this, target, service, request](Result result,
                                       const SetParameters::Response::SharedPtr& response,
                                       const std::string& error) {
        switch (result) {
          case Result::kAnswered:
            LogRefusals(target.name, *request, *response);
            NoteParamCall(target.name, true);
            return FinishAttempt(target, Outcome::kDone, "");
          case Result::kShutdown:
            // Shutting down ends the wait early; like an interrupted answer, that is no failure.
            return FinishAttempt(target, Outcome::kDone, "");
          case Result::kNoService:
            NoteParamCall(target.name, false);
            return FinishAttempt(
                target, Outcome::kLater,
                "node " + target.name + " is not running (no " + service + " within 1 s)");
          case Result::kNoAnswer:
            NoteParamCall(target.name, false);
            return FinishAttempt(target, Outcome::kLater,
                                 "node " + target.name + " did not answer within 1 s");
          case Result::kInvalidName:
            LOG_ERROR("Set parameters call to {} failed: {}", service, error);
            return FinishAttempt(target, Outcome::kNever,
                                 "node_name \"" + target.name + "\" makes no valid service name");
          case Result::kError:
            break;
        }
        NoteParamCall(target.name, false);
        FinishAttempt(target, Outcome::kLater, "set parameters call to " + service + ": " + error);
      });
}

}  // namespace config_center
