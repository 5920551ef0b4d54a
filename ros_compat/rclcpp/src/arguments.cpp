// The `--ros-args` part of a command line: remapping rules and parameter overrides.
#include <string>
#include <vector>

#include "rclcpp/context.hpp"

namespace rclcpp {
namespace detail {

namespace {
bool is_flag_with_value(const std::string& arg) {
  return arg == "-p" || arg == "--param" || arg == "--params-file" || arg == "--log-level" ||
         arg == "-e" || arg == "--enclave" || arg == "--log-config-file" ||
         arg == "--log-file-name";
}

bool parse_remap(const std::string& text, RemapRule& rule) {
  const auto sep = text.find(":=");
  if (sep == std::string::npos || sep == 0 || sep + 2 >= text.size()) return false;
  std::string from = text.substr(0, sep);
  rule.to = text.substr(sep + 2);
  // An optional "node:" prefix limits the rule to one node.
  const auto colon = from.find(':');
  if (colon != std::string::npos) {
    rule.node_prefix = from.substr(0, colon);
    from = from.substr(colon + 1);
  }
  if (from == "__node" || from == "__name") {
    rule.kind = RemapRule::Kind::NodeName;
  } else if (from == "__ns") {
    rule.kind = RemapRule::Kind::Namespace;
  } else {
    rule.kind = RemapRule::Kind::Name;
  }
  rule.from = from;
  return !from.empty();
}
}  // namespace

RosArguments parse_ros_arguments(const std::vector<std::string>& arguments) {
  RosArguments out;
  bool in_ros_args = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg == "--ros-args") {
      in_ros_args = true;
      continue;
    }
    if (!in_ros_args) continue;
    if (arg == "--") {
      in_ros_args = false;
      continue;
    }
    if (arg == "-r" || arg == "--remap") {
      if (i + 1 < arguments.size()) {
        RemapRule rule;
        if (parse_remap(arguments[++i], rule)) out.remap_rules.push_back(rule);
      }
      continue;
    }
    if (arg == "-p" || arg == "--param") {
      if (i + 1 < arguments.size()) {
        const std::string& text = arguments[++i];
        const auto sep = text.find(":=");
        if (sep != std::string::npos && sep > 0) {
          out.parameter_overrides.emplace_back(text.substr(0, sep), text.substr(sep + 2));
        }
      }
      continue;
    }
    // Other ROS options (logging, enclave, parameter files) have no effect here.
    if (is_flag_with_value(arg) && i + 1 < arguments.size()) ++i;
  }
  return out;
}

}  // namespace detail
}  // namespace rclcpp
