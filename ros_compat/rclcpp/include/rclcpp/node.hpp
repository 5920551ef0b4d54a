#ifndef RCLCPP__NODE_HPP_
#define RCLCPP__NODE_HPP_

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <rcl_interfaces/msg/parameter_descriptor.hpp>
#include <rcl_interfaces/msg/set_parameters_result.hpp>
#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters_atomically.hpp>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/client.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/detail/parameter_store.hpp"
#include "rclcpp/exceptions.hpp"
#include "rclcpp/logger.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node_interfaces/node_base.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/node_interfaces/node_parameters_interface.hpp"
#include "rclcpp/node_options.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/parameter_value.hpp"
#include "rclcpp/service.hpp"
#include "rclcpp/timer.hpp"
#include "rmw/qos_profiles.h"

namespace rclcpp {

/// A ROS node: its name, its timers, services and clients, and its parameters.
class Node : public std::enable_shared_from_this<Node> {
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Node)
  using OnSetParametersCallbackHandle = node_interfaces::OnSetParametersCallbackHandle;
  using OnParametersSetCallbackType = node_interfaces::OnParametersSetCallbackType;

  explicit Node(const std::string& node_name, const NodeOptions& options = NodeOptions());
  explicit Node(const std::string& node_name, const std::string& namespace_,
                const NodeOptions& options = NodeOptions());
  virtual ~Node();

  const char* get_name() const;
  const char* get_namespace() const;
  const char* get_fully_qualified_name() const;
  rclcpp::Logger get_logger() const;
  const NodeOptions& get_node_options() const { return options_; }

  rclcpp::CallbackGroup::SharedPtr create_callback_group(
      rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node = true);

  /// A timer on the steady clock, in `group` (the node's default group when null).
  template <typename DurationRepT = int64_t, typename DurationT = std::milli, typename CallbackT>
  typename rclcpp::WallTimer<CallbackT>::SharedPtr create_wall_timer(
      std::chrono::duration<DurationRepT, DurationT> period, CallbackT callback,
      rclcpp::CallbackGroup::SharedPtr group = nullptr) {
    const auto period_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(period);
    if (period_ns < std::chrono::nanoseconds::zero()) {
      throw std::invalid_argument("timer period cannot be negative");
    }
    auto timer = std::make_shared<rclcpp::WallTimer<CallbackT>>(period_ns, std::move(callback),
                                                                node_base_->get_context());
    resolve_group(group)->add_timer(timer);
    return timer;
  }

  template <typename ServiceT>
  typename rclcpp::Client<ServiceT>::SharedPtr create_client(
      const std::string& service_name,
      const rmw_qos_profile_t& qos_profile = rmw_qos_profile_services_default,
      rclcpp::CallbackGroup::SharedPtr group = nullptr) {
    auto client = std::make_shared<rclcpp::Client<ServiceT>>(node_base_, service_name, qos_profile);
    resolve_group(group)->add_client(client);
    return client;
  }

  template <typename ServiceT, typename CallbackT>
  typename rclcpp::Service<ServiceT>::SharedPtr create_service(
      const std::string& service_name, CallbackT&& callback,
      const rmw_qos_profile_t& qos_profile = rmw_qos_profile_services_default,
      rclcpp::CallbackGroup::SharedPtr group = nullptr) {
    rclcpp::AnyServiceCallback<ServiceT> any_callback;
    any_callback.set(std::forward<CallbackT>(callback));
    auto service = std::make_shared<rclcpp::Service<ServiceT>>(
        node_base_, service_name, std::move(any_callback), qos_profile);
    resolve_group(group)->add_service(service);
    return service;
  }

  // Parameters.
  const rclcpp::ParameterValue& declare_parameter(
      const std::string& name, const rclcpp::ParameterValue& default_value,
      const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor =
          rcl_interfaces::msg::ParameterDescriptor(),
      bool ignore_override = false);
  const rclcpp::ParameterValue& declare_parameter(
      const std::string& name, rclcpp::ParameterType type,
      const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor =
          rcl_interfaces::msg::ParameterDescriptor{},
      bool ignore_override = false);

  template <typename ParameterT>
  auto declare_parameter(const std::string& name, const ParameterT& default_value,
                         const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor =
                             rcl_interfaces::msg::ParameterDescriptor(),
                         bool ignore_override = false) {
    try {
      return this
          ->declare_parameter(name, rclcpp::ParameterValue(default_value), parameter_descriptor,
                              ignore_override)
          .template get<ParameterT>();
    } catch (const ParameterTypeException& ex) {
      throw exceptions::InvalidParameterTypeException(name, ex.what());
    }
  }

  template <typename ParameterT>
  auto declare_parameter(const std::string& name,
                         const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor =
                             rcl_interfaces::msg::ParameterDescriptor(),
                         bool ignore_override = false) {
    const auto type = rclcpp::ParameterValue(ParameterT{}).get_type();
    try {
      return this->declare_parameter(name, type, parameter_descriptor, ignore_override)
          .template get<ParameterT>();
    } catch (const ParameterTypeException&) {
      throw exceptions::UninitializedStaticallyTypedParameterException(name);
    }
  }

  void undeclare_parameter(const std::string& name);
  bool has_parameter(const std::string& name) const;
  rcl_interfaces::msg::SetParametersResult set_parameter(const rclcpp::Parameter& parameter);
  std::vector<rcl_interfaces::msg::SetParametersResult> set_parameters(
      const std::vector<rclcpp::Parameter>& parameters);
  rcl_interfaces::msg::SetParametersResult set_parameters_atomically(
      const std::vector<rclcpp::Parameter>& parameters);
  rclcpp::Parameter get_parameter(const std::string& name) const;
  bool get_parameter(const std::string& name, rclcpp::Parameter& parameter) const;

  template <typename ParameterT>
  bool get_parameter(const std::string& name, ParameterT& parameter) const {
    rclcpp::Parameter parameter_variant;
    bool result = get_parameter(name, parameter_variant);
    if (result) parameter = static_cast<ParameterT>(parameter_variant.get_value<ParameterT>());
    return result;
  }

  template <typename ParameterT>
  bool get_parameter_or(const std::string& name, ParameterT& parameter,
                        const ParameterT& alternative_value) const {
    bool got = get_parameter(name, parameter);
    if (!got) parameter = alternative_value;
    return got;
  }

  std::vector<rclcpp::Parameter> get_parameters(const std::vector<std::string>& names) const;
  rcl_interfaces::msg::ParameterDescriptor describe_parameter(const std::string& name) const;

  OnSetParametersCallbackHandle::SharedPtr add_on_set_parameters_callback(
      OnParametersSetCallbackType callback);
  void remove_on_set_parameters_callback(const OnSetParametersCallbackHandle* const handler);

  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr get_node_base_interface();

private:
  RCLCPP_DISABLE_COPY(Node)

  rclcpp::CallbackGroup::SharedPtr resolve_group(const rclcpp::CallbackGroup::SharedPtr& group);
  void create_parameter_services();

  NodeOptions options_;
  std::shared_ptr<node_interfaces::NodeBase> node_base_;
  std::unique_ptr<detail::ParameterStore> parameters_;
  rclcpp::Service<rcl_interfaces::srv::SetParameters>::SharedPtr set_parameters_service_;
  rclcpp::Service<rcl_interfaces::srv::GetParameters>::SharedPtr get_parameters_service_;
  rclcpp::Service<rcl_interfaces::srv::SetParametersAtomically>::SharedPtr
      set_parameters_atomically_service_;
};

}  // namespace rclcpp

#endif  // RCLCPP__NODE_HPP_
