// Validation, expansion and remapping of node names, namespaces and service names, with the
// rules and messages of rcl/rmw.
#ifndef RCLCPP_SRC_NAMES_HPP_
#define RCLCPP_SRC_NAMES_HPP_

#include <string>
#include <vector>

#include "rclcpp/context.hpp"

namespace rclcpp {
namespace detail {

/// Throws InvalidNodeNameError.
void validate_node_name(const std::string& name);
/// "" becomes "/", a relative namespace gets a leading '/'; throws InvalidNamespaceError.
std::string normalize_namespace(const std::string& namespace_);
/// "/ns/node" (or "/node" in the root namespace).
std::string fully_qualified_node_name(const std::string& node_name, const std::string& namespace_);

/// The first matching rule of `kind` (rules in order, node-prefixed rules only for node_name).
const RemapRule* find_node_rule(const std::vector<const std::vector<RemapRule>*>& rule_sets,
                                RemapRule::Kind kind, const std::string& node_name);

/// Fully qualified, remapped and validated service name; throws InvalidServiceNameError.
std::string resolve_service_name(const std::string& name, const std::string& node_name,
                                 const std::string& namespace_,
                                 const std::vector<const std::vector<RemapRule>*>& rule_sets);

}  // namespace detail
}  // namespace rclcpp

#endif  // RCLCPP_SRC_NAMES_HPP_
