#ifndef RCLCPP__EXPAND_TOPIC_OR_SERVICE_NAME_HPP_
#define RCLCPP__EXPAND_TOPIC_OR_SERVICE_NAME_HPP_

#include <string>

namespace rclcpp {

/// Expands `~`, `{node}`, `{ns}` and relative names against the node, and validates the name
/// before and after expansion. Throws InvalidTopicNameError or InvalidServiceNameError (and
/// InvalidNodeNameError / InvalidNamespaceError for a bad node name or namespace).
std::string expand_topic_or_service_name(const std::string& name, const std::string& node_name,
                                         const std::string& namespace_, bool is_service = false);

}  // namespace rclcpp

#endif  // RCLCPP__EXPAND_TOPIC_OR_SERVICE_NAME_HPP_
