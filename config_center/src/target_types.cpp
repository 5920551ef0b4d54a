#include "config_center/target_types.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rcl_interfaces/srv/get_parameter_types.hpp>
#include <rcl_interfaces/srv/list_parameters.hpp>

namespace config_center {

namespace {

using rcl_interfaces::msg::ParameterType;
using rcl_interfaces::srv::GetParameterTypes;
using rcl_interfaces::srv::ListParameters;
using Outcome = ParamServiceClients::Outcome;

// The whole lookup (up to three calls) shares one deadline, as a set call does.
constexpr std::chrono::seconds kLookupDeadline{1};

TargetTypes::Found FoundOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::kNoService:
      return TargetTypes::Found::kNoService;
    case Outcome::kNoAnswer:
      return TargetTypes::Found::kNoAnswer;
    case Outcome::kShutdown:
      return TargetTypes::Found::kShutdown;
    default:
      // A name the client layer refuses: the set call that follows fails the same way and
      // says so.
      return TargetTypes::Found::kKnown;
  }
}

}  // namespace

bool TargetTypes::Knows(const std::string& node_name, const std::string& name) const {
  const auto node = nodes_.find(node_name);
  return node != nodes_.end() && (node->second.untyped || node->second.types.count(name) > 0);
}

TargetTypes::Found TargetTypes::Find(const ParamCallContext& context, const std::string& node_name,
                                     const std::string& name,
                                     const std::vector<std::string>& managed, uint8_t* type) {
  *type = ParameterType::PARAMETER_NOT_SET;
  if (!Knows(node_name, name)) {
    Declared declared;
    const Found found = Ask(context, node_name, managed, &declared);
    if (found != Found::kKnown) {
      return found;
    }
    nodes_[node_name] = std::move(declared);
  }
  const Declared& declared = nodes_[node_name];
  const auto known = declared.types.find(name);
  if (known != declared.types.end()) {
    *type = known->second;
  }
  return Found::kKnown;
}

TargetTypes::Found TargetTypes::Ask(const ParamCallContext& context, const std::string& node_name,
                                    const std::vector<std::string>& names, Declared* declared) {
  const auto deadline = std::chrono::steady_clock::now() + kLookupDeadline;
  const std::string types_service = "/" + node_name + "/get_parameter_types";
  auto ask_types = [&](const std::vector<std::string>& asked,
                       GetParameterTypes::Response::SharedPtr* answer) {
    auto request = std::make_shared<GetParameterTypes::Request>();
    request->names = asked;
    return clients_.Call<GetParameterTypes>(context, types_service, request, deadline, answer);
  };

  GetParameterTypes::Response::SharedPtr answer;
  Outcome outcome = ask_types(names, &answer);
  if (outcome != Outcome::kAnswered) {
    return FoundOf(outcome);
  }
  std::vector<std::string> asked = names;
  if (answer->types.size() != asked.size()) {
    // rclcpp answers nothing at all when one name is undeclared (and the node does not take
    // undeclared parameters): find the declared ones and ask for those alone.
    auto list = std::make_shared<ListParameters::Request>();
    list->prefixes = names;
    list->depth = ListParameters::Request::DEPTH_RECURSIVE;
    ListParameters::Response::SharedPtr listed;
    outcome = clients_.Call<ListParameters>(context, "/" + node_name + "/list_parameters", list,
                                            deadline, &listed);
    if (outcome != Outcome::kAnswered) {
      return FoundOf(outcome);
    }
    asked.clear();
    for (const std::string& name : names) {
      const auto& listed_names = listed->result.names;
      if (std::find(listed_names.begin(), listed_names.end(), name) != listed_names.end()) {
        asked.push_back(name);
      }
    }
    answer = std::make_shared<GetParameterTypes::Response>();
    if (!asked.empty()) {
      outcome = ask_types(asked, &answer);
      if (outcome != Outcome::kAnswered) {
        return FoundOf(outcome);
      }
    }
    if (answer->types.size() != asked.size()) {
      // The node changed its declarations between the calls: this text goes out as a
      // string, and the next one asks again.
      return Found::kKnown;
    }
  }
  for (const std::string& name : names) {
    declared->types[name] = ParameterType::PARAMETER_NOT_SET;
  }
  for (size_t i = 0; i < asked.size(); ++i) {
    declared->types[asked[i]] = answer->types[i];
  }
  return Found::kKnown;
}

void TargetTypes::SetUntyped(const std::string& node_name) {
  nodes_[node_name] = Declared{true, {}};
}

void TargetTypes::Forget(const std::string& node_name) { nodes_.erase(node_name); }

}  // namespace config_center
