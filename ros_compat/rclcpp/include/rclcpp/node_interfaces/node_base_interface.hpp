#ifndef RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_
#define RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp {
namespace node_interfaces {

/// Name, namespace, context and callback groups of a node.
class NodeBaseInterface {
public:
  RCLCPP_SMART_PTR_ALIASES_ONLY(NodeBaseInterface)
  using CallbackGroupFunction = std::function<void(rclcpp::CallbackGroup::SharedPtr)>;

  virtual ~NodeBaseInterface() = default;

  virtual const char* get_name() const = 0;
  virtual const char* get_namespace() const = 0;
  virtual const char* get_fully_qualified_name() const = 0;
  virtual rclcpp::Context::SharedPtr get_context() = 0;
  virtual rclcpp::CallbackGroup::SharedPtr create_callback_group(
      rclcpp::CallbackGroupType group_type,
      bool automatically_add_to_executor_with_node = true) = 0;
  virtual rclcpp::CallbackGroup::SharedPtr get_default_callback_group() = 0;
  virtual bool callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group) = 0;
  virtual void for_each_callback_group(const CallbackGroupFunction& func) = 0;
  /// True while an executor holds the node.
  virtual std::atomic_bool& get_associated_with_executor_atomic() = 0;
  virtual bool get_use_intra_process_default() const = 0;
  virtual bool get_enable_topic_statistics_default() const = 0;
  /// Expands and remaps a name as this node sees it; throws on an invalid name.
  virtual std::string resolve_topic_or_service_name(const std::string& name, bool is_service,
                                                    bool only_expand = false) const = 0;
};

}  // namespace node_interfaces
}  // namespace rclcpp

#endif  // RCLCPP__NODE_INTERFACES__NODE_BASE_INTERFACE_HPP_
