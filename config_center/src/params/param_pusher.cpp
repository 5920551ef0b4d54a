#include "params/param_pusher.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include <rcl_interfaces/srv/set_parameters.hpp>

#include "logging/logging.hpp"
#include "parameter_text/parameter_text.hpp"
#include "params/param_service_name.hpp"

namespace config_center {

namespace {

using rcl_interfaces::srv::SetParameters;
using Result = ParamCalls::Result;

// Covers finding the service and its answer together; a type lookup (up to three calls)
// shares one such deadline too.
constexpr std::chrono::seconds kAnswerDeadline{1};
// Longest a start-up waits for one parameter call step; every call has its own deadline, so
// this only bounds the spin between them.
constexpr std::chrono::milliseconds kStartupSpinStep{100};

// An answer still counts as handled when the target refused a parameter, but the operator
// has to know: the item is not in effect there. Returns the target's reason for the first
// refused parameter (a request carries one), or nothing when all were taken.
std::optional<std::string> LogRefusals(const std::string& node_name,
                                       const SetParameters::Request& request,
                                       const SetParameters::Response& response) {
  std::optional<std::string> refused;
  for (size_t i = 0; i < response.results.size(); ++i) {
    if (response.results[i].successful) continue;
    const std::string name = i < request.parameters.size() ? request.parameters[i].name : "";
    LOG_ERROR("Node /{} refused parameter {}: {}", node_name, name, response.results[i].reason);
    if (!refused) refused = response.results[i].reason;
  }
  return refused;
}

std::string NotRunning(const std::string& node_name) {
  return "node " + node_name + " is not running";
}

}  // namespace

ParamPusher::ParamPusher(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr base,
                         rclcpp::node_interfaces::NodeGraphInterface::SharedPtr graph,
                         rclcpp::node_interfaces::NodeServicesInterface::SharedPtr services,
                         ManagedNames managed_names)
    : base_(base),
      graph_(graph),
      managed_names_(std::move(managed_names)),
      group_(base->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, true)),
      calls_(base, graph, std::move(services), group_) {
  watch_.Attach(*graph_);
}

bool ParamPusher::Accepts(const PendingChange& change, std::string* why) {
  return IsValidNodeName(change.item.node_name, why);
}

bool ParamPusher::Reachable(const Target& target) {
  return TargetWatch::Served(*graph_, target.name);
}

std::string ParamPusher::UnreachableReason(const Target& target) { return NotRunning(target.name); }

void ParamPusher::Apply(const Target&, const PendingChange& change, Finish finish) {
  if (change.withdraw) {
    DeleteParamConfig(change, std::move(finish));
  } else {
    ParamConfigDistribute(change, std::move(finish));
  }
}

void ParamPusher::ParamConfigDistribute(const PendingChange& change, Finish finish) {
  const ConfigData& item = change.item;
  if (!change.announced) {
    LOG_DEBUG("ParamConfigDistribute, node_name : {}, {} : {}", item.node_name, item.name,
              item.value);
  }
  if (item.value.empty()) {
    // The withdrawal form needs no type: a parameter that is not set.
    rcl_interfaces::msg::Parameter parameter;
    parameter.name = item.name;
    CallSetParameters(item.node_name, std::move(parameter), std::move(finish));
    return;
  }
  TypeAndSend(item, std::move(finish));
}

void ParamPusher::DeleteParamConfig(const PendingChange& change, Finish finish) {
  if (!change.announced) {
    LOG_DEBUG("Delete node_name : {} ,  param {}", change.item.node_name, change.item.name);
  }
  // A parameter that is not set goes out: that is the withdrawal.
  rcl_interfaces::msg::Parameter parameter;
  parameter.name = change.item.name;
  CallSetParameters(change.item.node_name, std::move(parameter), std::move(finish));
}

void ParamPusher::CallSetParameters(const std::string& node_name,
                                    rcl_interfaces::msg::Parameter parameter, Finish finish) {
  const std::string service = ParamServiceName(node_name, kSetParameters);
  if (send_listener_) send_listener_(node_name, parameter);
  auto request = std::make_shared<SetParameters::Request>();
  request->parameters.push_back(std::move(parameter));
  calls_.Start<SetParameters>(
      service, request, ParamCalls::Clock::now() + kAnswerDeadline,
      [this, node_name, service, request, finish](
          Result result, const SetParameters::Response::SharedPtr& response,
          const std::string& error) {
        switch (result) {
          case Result::kAnswered: {
            const std::optional<std::string> refused = LogRefusals(node_name, *request, *response);
            NoteParamCall(node_name, true);
            if (refused) return finish(Outcome::kRefused, *refused);
            return finish(Outcome::kDone, "");
          }
          case Result::kShutdown:
            // Shutting down ends the wait early; like an interrupted answer, that is no failure.
            return finish(Outcome::kDone, "");
          case Result::kNoService:
            NoteParamCall(node_name, false);
            return finish(Outcome::kLater,
                          NotRunning(node_name) + " (no " + service + " within 1 s)");
          case Result::kNoAnswer:
            NoteParamCall(node_name, false);
            return finish(Outcome::kLater, "node " + node_name + " did not answer within 1 s");
          case Result::kInvalidName:
            LOG_ERROR("Set parameters call to {} failed: {}", service, error);
            return finish(Outcome::kNever,
                          "node_name \"" + node_name + "\" makes no valid service name");
          case Result::kError:
            break;
        }
        NoteParamCall(node_name, false);
        finish(Outcome::kLater, "set parameters call to " + service + ": " + error);
      });
}

void ParamPusher::TypeAndSend(const ConfigData& item, Finish finish) {
  using Found = TargetTypes::Found;
  auto send = [this, item, finish] {
    const uint8_t type = types_.TypeOf(item.node_name, item.name);
    rcl_interfaces::msg::Parameter parameter;
    parameter.name = item.name;
    if (!parameter_text::ParameterValueFromText(type, item.value, &parameter.value)) {
      // Handled like a value the node refuses: logged, and the item counts as handled.
      LOG_ERROR(
          "Parameter {} of node {} is declared {}; the text \"{}\" does not read as one, "
          "not sent",
          item.name, item.node_name, parameter_text::ParameterTypeName(type), item.value);
      return finish(Outcome::kRefused, std::string("it is declared ") +
                                           parameter_text::ParameterTypeName(type) +
                                           " and the text does not read as one");
    }
    CallSetParameters(item.node_name, std::move(parameter), finish);
  };
  if (types_.Knows(item.node_name, item.name)) {
    return send();
  }
  // One lookup covers every parameter config_center manages on that node.
  std::vector<std::string> managed{item.name};
  for (std::string& name : managed_names_(item.node_name)) {
    if (name != item.name) managed.push_back(std::move(name));
  }
  types_.Learn(calls_, item.node_name, managed, TargetTypes::Clock::now() + kAnswerDeadline,
               [this, item, finish, send](Found found) {
                 switch (found) {
                   case Found::kKnown:
                     return send();
                   case Found::kNoAnswer:
                     NoteParamCall(item.node_name, false);
                     return finish(Outcome::kLater,
                                   "node " + item.node_name + " did not answer within 1 s");
                   case Found::kShutdown:
                     // Like a set call that shutting down ends: no failure.
                     return finish(Outcome::kDone, "");
                   case Found::kNoService:
                     break;
                 }
                 // A node may serve set_parameters without the type services: it gets
                 // strings.
                 if (!TargetWatch::Served(*graph_, item.node_name)) {
                   return finish(Outcome::kLater, NotRunning(item.node_name));
                 }
                 types_.SetUntyped(item.node_name);
                 send();
               });
}

void ParamPusher::NoteParamCall(const std::string& node_name, bool answered) {
  if (answered) {
    watch_.Watch(*graph_, node_name);
  } else {
    // Whatever answers next may be another process with other declarations.
    types_.Forget(node_name);
  }
}

std::vector<std::string> ParamPusher::Restarted(bool graph_changed) {
  std::vector<std::string> restarted = watch_.Restarted(*graph_, graph_changed);
  for (const std::string& node_name : restarted) types_.Forget(node_name);
  return restarted;
}

void ParamPusher::WaitForCalls(const std::function<void()>& between) {
  if (calls_.idle()) return;
  // The main executor does not spin yet: a private one serves the calls' group meanwhile and
  // gives it back, so that rclcpp::spin takes it with the node.
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_callback_group(group_, base_);
  while (rclcpp::ok() && !calls_.idle()) {
    const auto now = Clock::now();
    // A call that waits for its service to match is looked at every millisecond.
    auto step = calls_.AwaitingService() ? std::chrono::milliseconds(1) : kStartupSpinStep;
    if (const auto deadline = calls_.NextDeadline(); deadline && *deadline - now < step) {
      step = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
    }
    executor.spin_once(std::max(step, std::chrono::milliseconds(0)));
    calls_.Poll(Clock::now());
    between();
  }
  executor.remove_callback_group(group_);
}

}  // namespace config_center
