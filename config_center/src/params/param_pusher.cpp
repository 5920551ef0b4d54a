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

// Every change of an attempt ended the same way.
Applier::Outcomes All(size_t count, Outcome outcome, const std::string& reason) {
  return Applier::Outcomes(count, {outcome, reason});
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

void ParamPusher::Apply(const Target& target, const PendingChange& change, Finish finish) {
  ApplyInOne(target, {change}, [finish](const Outcomes& outcomes) {
    finish(outcomes.front().first, outcomes.front().second);
  });
}

void ParamPusher::ParamConfigDistribute(const PendingChange& change, Finish finish) {
  Apply(Target{kParam, change.item.node_name}, change, std::move(finish));
}

void ParamPusher::DeleteParamConfig(const PendingChange& change, Finish finish) {
  PendingChange withdrawal = change;
  withdrawal.withdraw = true;
  Apply(Target{kParam, change.item.node_name}, withdrawal, std::move(finish));
}

void ParamPusher::ApplyInOne(const Target& target, const std::vector<PendingChange>& changes,
                             FinishAll finish) {
  const std::string& node_name = target.name;
  for (const PendingChange& change : changes) {
    if (change.announced) continue;
    if (change.withdraw) {
      LOG_DEBUG("Delete node_name : {} ,  param {}", node_name, change.item.name);
    } else {
      LOG_DEBUG("ParamConfigDistribute, node_name : {}, {} : {}", node_name, change.item.name,
                change.item.value);
    }
  }
  // A withdrawal, and an empty value, go out as a parameter that is not set: no type needed.
  std::vector<std::string> managed;
  for (const PendingChange& change : changes) {
    if (!change.withdraw && !change.item.value.empty() &&
        !types_.Knows(node_name, change.item.name)) {
      managed.push_back(change.item.name);
    }
  }
  if (managed.empty()) return SendTogether(node_name, changes, std::move(finish));
  // One lookup covers every parameter config_center manages on that node.
  for (std::string& name : managed_names_(node_name)) {
    if (std::find(managed.begin(), managed.end(), name) == managed.end()) {
      managed.push_back(std::move(name));
    }
  }
  using Found = TargetTypes::Found;
  types_.Learn(calls_, node_name, managed, TargetTypes::Clock::now() + kAnswerDeadline,
               [this, node_name, changes, finish](Found found) {
                 const size_t count = changes.size();
                 switch (found) {
                   case Found::kKnown:
                     return SendTogether(node_name, changes, finish);
                   case Found::kNoAnswer:
                     NoteParamCall(node_name, false);
                     return finish(All(count, Outcome::kLater,
                                       "node " + node_name + " did not answer within 1 s"));
                   case Found::kShutdown:
                     // Like a set call that shutting down ends: no failure.
                     return finish(All(count, Outcome::kDone, ""));
                   case Found::kNoService:
                     break;
                 }
                 // A node may serve set_parameters without the type services: it gets
                 // strings.
                 if (!TargetWatch::Served(*graph_, node_name)) {
                   return finish(All(count, Outcome::kLater, NotRunning(node_name)));
                 }
                 types_.SetUntyped(node_name);
                 SendTogether(node_name, changes, finish);
               });
}

void ParamPusher::SendTogether(const std::string& node_name,
                               const std::vector<PendingChange>& changes, FinishAll finish) {
  Outcomes outcomes(changes.size(), {Outcome::kDone, ""});
  auto request = std::make_shared<SetParameters::Request>();
  std::vector<size_t> sent;  // the change of each parameter in the request
  for (size_t i = 0; i < changes.size(); ++i) {
    const ConfigData& item = changes[i].item;
    rcl_interfaces::msg::Parameter parameter;
    parameter.name = item.name;
    if (!changes[i].withdraw && !item.value.empty()) {
      const uint8_t type = types_.TypeOf(node_name, item.name);
      if (!parameter_text::ParameterValueFromText(type, item.value, &parameter.value)) {
        // Handled like a value the node refuses: logged, and the item counts as handled.
        LOG_ERROR(
            "Parameter {} of node {} is declared {}; the text \"{}\" does not read as one, "
            "not sent",
            item.name, node_name, parameter_text::ParameterTypeName(type), item.value);
        outcomes[i] = {Outcome::kRefused, std::string("it is declared ") +
                                              parameter_text::ParameterTypeName(type) +
                                              " and the text does not read as one"};
        continue;
      }
    }
    if (send_listener_) send_listener_(node_name, parameter);
    request->parameters.push_back(std::move(parameter));
    sent.push_back(i);
  }
  if (sent.empty()) return finish(outcomes);
  const std::string service = ParamServiceName(node_name, kSetParameters);
  calls_.Start<SetParameters>(
      service, request, ParamCalls::Clock::now() + kAnswerDeadline,
      [this, node_name, service, request, sent, outcomes, finish](
          Result result, const SetParameters::Response::SharedPtr& response,
          const std::string& error) mutable {
        // Those sent ended alike; those refused before sending keep their outcome.
        const auto sent_all = [&](Outcome outcome, const std::string& reason) {
          for (const size_t i : sent) outcomes[i] = {outcome, reason};
          finish(outcomes);
        };
        switch (result) {
          case Result::kAnswered: {
            // An answer still counts as handled when the target refused a parameter, but the
            // operator has to know: that item is not in effect there.
            for (size_t k = 0; k < sent.size(); ++k) {
              const std::string& name = request->parameters[k].name;
              if (k >= response->results.size()) {
                LOG_ERROR("Node /{} gave no result for parameter {}", node_name, name);
                outcomes[sent[k]] = {Outcome::kRefused, "the node's answer has no result for it"};
              } else if (!response->results[k].successful) {
                LOG_ERROR("Node /{} refused parameter {}: {}", node_name, name,
                          response->results[k].reason);
                outcomes[sent[k]] = {Outcome::kRefused, response->results[k].reason};
              }
            }
            NoteParamCall(node_name, true);
            return finish(outcomes);
          }
          case Result::kShutdown:
            // Shutting down ends the wait early; like an interrupted answer, that is no failure.
            return sent_all(Outcome::kDone, "");
          case Result::kNoService:
            NoteParamCall(node_name, false);
            return sent_all(Outcome::kLater,
                            NotRunning(node_name) + " (no " + service + " within 1 s)");
          case Result::kNoAnswer:
            NoteParamCall(node_name, false);
            return sent_all(Outcome::kLater, "node " + node_name + " did not answer within 1 s");
          case Result::kInvalidName:
            LOG_ERROR("Set parameters call to {} failed: {}", service, error);
            return sent_all(Outcome::kNever,
                            "node_name \"" + node_name + "\" makes no valid service name");
          case Result::kError:
            break;
        }
        NoteParamCall(node_name, false);
        sent_all(Outcome::kLater, "set parameters call to " + service + ": " + error);
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
