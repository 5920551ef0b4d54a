#ifndef RCLCPP__NODE_INTERFACES__NODE_BASE_HPP_
#define RCLCPP__NODE_INTERFACES__NODE_BASE_HPP_

#include <mutex>
#include <string>
#include <vector>

#include "rclcpp/context.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"

namespace rclcpp {
namespace node_interfaces {

class NodeBase : public NodeBaseInterface, public std::enable_shared_from_this<NodeBase> {
public:
  RCLCPP_SMART_PTR_ALIASES_ONLY(NodeBase)

  /// Applies the `__node`/`__ns` remapping of `local_arguments` and the context's arguments
  /// (unless use_global_arguments is false) and validates the result.
  NodeBase(const std::string& node_name, const std::string& namespace_,
           rclcpp::Context::SharedPtr context, const std::vector<std::string>& local_arguments,
           bool use_global_arguments, bool use_intra_process_default,
           bool enable_topic_statistics_default);
  ~NodeBase() override;

  const char* get_name() const override { return name_.c_str(); }
  const char* get_namespace() const override { return namespace_.c_str(); }
  const char* get_fully_qualified_name() const override { return fqn_.c_str(); }
  rclcpp::Context::SharedPtr get_context() override { return context_; }
  rclcpp::CallbackGroup::SharedPtr create_callback_group(
      rclcpp::CallbackGroupType group_type,
      bool automatically_add_to_executor_with_node = true) override;
  rclcpp::CallbackGroup::SharedPtr get_default_callback_group() override {
    return default_callback_group_;
  }
  bool callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group) override;
  void for_each_callback_group(const CallbackGroupFunction& func) override;
  std::atomic_bool& get_associated_with_executor_atomic() override {
    return associated_with_executor_;
  }
  bool get_use_intra_process_default() const override { return use_intra_process_default_; }
  bool get_enable_topic_statistics_default() const override {
    return enable_topic_statistics_default_;
  }
  std::string resolve_topic_or_service_name(const std::string& name, bool is_service,
                                            bool only_expand = false) const override;

  const detail::RosArguments& local_arguments() const { return local_arguments_; }

private:
  rclcpp::Context::SharedPtr context_;
  detail::RosArguments local_arguments_;
  bool use_global_arguments_;
  bool use_intra_process_default_;
  bool enable_topic_statistics_default_;
  std::string name_;
  std::string namespace_;
  std::string fqn_;
  rclcpp::CallbackGroup::SharedPtr default_callback_group_;
  mutable std::mutex groups_mutex_;
  std::vector<rclcpp::CallbackGroup::WeakPtr> callback_groups_;
  std::atomic_bool associated_with_executor_{false};
};

}  // namespace node_interfaces
}  // namespace rclcpp

#endif  // RCLCPP__NODE_INTERFACES__NODE_BASE_HPP_
