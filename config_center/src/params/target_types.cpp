#include "params/target_types.hpp"

#include <algorithm>
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
using Result = ParamCalls::Result;

TargetTypes::Found FoundOf(Result result) {
  switch (result) {
    case Result::kNoService:
      return TargetTypes::Found::kNoService;
    case Result::kNoAnswer:
    case Result::kError:
      return TargetTypes::Found::kNoAnswer;
    case Result::kShutdown:
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

uint8_t TargetTypes::TypeOf(const std::string& node_name, const std::string& name) const {
  const auto node = nodes_.find(node_name);
  if (node == nodes_.end()) return ParameterType::PARAMETER_NOT_SET;
  const auto type = node->second.types.find(name);
  return type == node->second.types.end() ? ParameterType::PARAMETER_NOT_SET : type->second;
}

void TargetTypes::Learn(ParamCalls& calls, const std::string& node_name,
                        const std::vector<std::string>& managed, Clock::time_point deadline,
                        const std::function<void(Found)>& done) {
  const std::string prefix = "/" + node_name + "/";
  auto ask = std::make_shared<GetParameterTypes::Request>();
  ask->names = managed;
  calls.Start<GetParameterTypes>(
      prefix + "get_parameter_types", ask, deadline,
      [this, &calls, node_name, managed, deadline, done, prefix](
          Result result, const GetParameterTypes::Response::SharedPtr& answer, const std::string&) {
        if (result != Result::kAnswered) return done(FoundOf(result));
        if (answer->types.size() == managed.size()) {
          Store(node_name, managed, managed, answer->types);
          return done(Found::kKnown);
        }
        // rclcpp answers nothing at all when one name is undeclared (and the node does not
        // take undeclared parameters): find the declared ones and ask for those alone.
        auto list = std::make_shared<ListParameters::Request>();
        list->prefixes = managed;
        list->depth = ListParameters::Request::DEPTH_RECURSIVE;
        calls.Start<ListParameters>(
            prefix + "list_parameters", list, deadline,
            [this, &calls, node_name, managed, deadline, done, prefix](
                Result listed_result, const ListParameters::Response::SharedPtr& listed,
                const std::string&) {
              if (listed_result != Result::kAnswered) return done(FoundOf(listed_result));
              std::vector<std::string> declared;
              for (const std::string& name : managed) {
                const auto& names = listed->result.names;
                if (std::find(names.begin(), names.end(), name) != names.end()) {
                  declared.push_back(name);
                }
              }
              if (declared.empty()) {
                Store(node_name, managed, {}, {});
                return done(Found::kKnown);
              }
              auto again = std::make_shared<GetParameterTypes::Request>();
              again->names = declared;
              calls.Start<GetParameterTypes>(
                  prefix + "get_parameter_types", again, deadline,
                  [this, node_name, managed, declared, done](
                      Result typed_result, const GetParameterTypes::Response::SharedPtr& typed,
                      const std::string&) {
                    if (typed_result != Result::kAnswered) return done(FoundOf(typed_result));
                    // When the node changed its declarations between the calls, this text
                    // goes out as a string, and the next one asks again.
                    if (typed->types.size() == declared.size()) {
                      Store(node_name, managed, declared, typed->types);
                    }
                    done(Found::kKnown);
                  });
            });
      });
}

void TargetTypes::Store(const std::string& node_name, const std::vector<std::string>& names,
                        const std::vector<std::string>& declared_names,
                        const std::vector<uint8_t>& types) {
  Declared& declared = nodes_[node_name];
  declared.untyped = false;
  for (const std::string& name : names) {
    declared.types[name] = ParameterType::PARAMETER_NOT_SET;
  }
  for (size_t i = 0; i < declared_names.size(); ++i) {
    declared.types[declared_names[i]] = types[i];
  }
}

void TargetTypes::SetUntyped(const std::string& node_name) {
  nodes_[node_name] = Declared{true, {}};
}

void TargetTypes::Forget(const std::string& node_name) { nodes_.erase(node_name); }

}  // namespace config_center
