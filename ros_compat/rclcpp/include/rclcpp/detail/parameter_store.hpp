// The parameters of one node: declaration, typed checks, on-set callbacks, and the handlers
// behind the node's ~/set_parameters and ~/get_parameters services. Follows what a
// rclcpp Humble node does, including its exception types and result reasons.
#ifndef RCLCPP__DETAIL__PARAMETER_STORE_HPP_
#define RCLCPP__DETAIL__PARAMETER_STORE_HPP_

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <rcl_interfaces/msg/parameter_descriptor.hpp>
#include <rcl_interfaces/msg/set_parameters_result.hpp>
#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters_atomically.hpp>

#include "rclcpp/node_interfaces/node_parameters_interface.hpp"
#include "rclcpp/parameter.hpp"
#include "rclcpp/parameter_value.hpp"

namespace rclcpp::detail {

class ParameterStore {
public:
  ParameterStore(bool allow_undeclared_parameters,
                 const std::vector<rclcpp::Parameter>& parameter_overrides);

  // Declares with the type of the initial value (the override unless ignored, else
  // `default_value`); a value that is not set makes the parameter dynamically typed.
  // Throws InvalidParametersException (empty name), ParameterAlreadyDeclaredException,
  // InvalidParameterTypeException (override of another type) and
  // InvalidParameterValueException (refused by a range or a callback).
  const ParameterValue& declare_parameter(
      const std::string& name, const ParameterValue& default_value,
      const rcl_interfaces::msg::ParameterDescriptor& descriptor, bool ignore_override);
  // Declares a statically typed parameter that holds no value until an override or a set
  // gives it one. Throws std::invalid_argument for PARAMETER_NOT_SET or a dynamically typed
  // descriptor.
  const ParameterValue& declare_parameter(
      const std::string& name, ParameterType type,
      const rcl_interfaces::msg::ParameterDescriptor& descriptor, bool ignore_override);
  // Throws ParameterNotDeclaredException, ParameterImmutableException (read-only) and
  // InvalidParameterTypeException (statically typed).
  void undeclare_parameter(const std::string& name);
  bool has_parameter(const std::string& name) const;

  // Throws ParameterNotDeclaredException (unless undeclared parameters are allowed, which
  // gives a value that is not set) and ParameterUninitializedException.
  rclcpp::Parameter get_parameter(const std::string& name) const;
  // false when the parameter is not declared.
  bool get_parameter(const std::string& name, rclcpp::Parameter& parameter) const;
  std::vector<rclcpp::Parameter> get_parameters(const std::vector<std::string>& names) const;
  rcl_interfaces::msg::ParameterDescriptor describe_parameter(const std::string& name) const;

  // One result per parameter, each set on its own. Throws as set_parameters_atomically.
  std::vector<rcl_interfaces::msg::SetParametersResult> set_parameters(
      const std::vector<rclcpp::Parameter>& parameters);
  // All or none. Throws ParameterNotDeclaredException for an undeclared name when undeclared
  // parameters are not allowed, InvalidParametersException for an empty name and
  // ParameterModifiedInCallbackException when called from an on-set callback.
  rcl_interfaces::msg::SetParametersResult set_parameters_atomically(
      const std::vector<rclcpp::Parameter>& parameters);

  // Callbacks run before a change is applied, newest first; the first refusal stops the
  // change. A callback stays registered while its handle lives.
  node_interfaces::OnSetParametersCallbackHandle::SharedPtr add_on_set_parameters_callback(
      node_interfaces::OnParametersSetCallbackType callback);
  // Throws std::runtime_error when the handle is not registered.
  void remove_on_set_parameters_callback(
      const node_interfaces::OnSetParametersCallbackHandle* handle);

  // Service handlers: never throw for anything a remote caller can send.
  void handle_set_parameters(const rcl_interfaces::srv::SetParameters::Request& request,
                             rcl_interfaces::srv::SetParameters::Response& response);
  void handle_set_parameters_atomically(
      const rcl_interfaces::srv::SetParametersAtomically::Request& request,
      rcl_interfaces::srv::SetParametersAtomically::Response& response);
  // As rclcpp, one unknown name (undeclared parameters not allowed) empties the answer.
  void handle_get_parameters(const rcl_interfaces::srv::GetParameters::Request& request,
                             rcl_interfaces::srv::GetParameters::Response& response);

private:
  struct Info {
    ParameterValue value;
    rcl_interfaces::msg::ParameterDescriptor descriptor;
  };
  using InfoMap = std::map<std::string, Info>;

  const ParameterValue& declare_locked(const std::string& name, ParameterType type,
                                       const ParameterValue& default_value,
                                       const rcl_interfaces::msg::ParameterDescriptor& descriptor,
                                       bool ignore_override);
  rcl_interfaces::msg::SetParametersResult declare_into(
      const std::string& name, const ParameterValue& default_value,
      const rcl_interfaces::msg::ParameterDescriptor& descriptor, InfoMap& out,
      bool ignore_override, bool run_callbacks);
  rcl_interfaces::msg::SetParametersResult check_and_apply(
      const std::vector<rclcpp::Parameter>& parameters, InfoMap& infos, bool run_callbacks);
  rcl_interfaces::msg::SetParametersResult check_descriptors(
      const std::vector<rclcpp::Parameter>& parameters, const InfoMap& infos) const;
  rcl_interfaces::msg::SetParametersResult run_callbacks(
      const std::vector<rclcpp::Parameter>& parameters);
  rclcpp::Parameter get_locked(const std::string& name) const;

  // Set while a mutation is in progress, so that a callback cannot start another.
  class MutationGuard;

  mutable std::recursive_mutex mutex_;
  const bool allow_undeclared_;
  std::map<std::string, ParameterValue> overrides_;
  InfoMap parameters_;
  std::list<node_interfaces::OnSetParametersCallbackHandle::WeakPtr> callbacks_;
  bool mutating_ = false;
};

}  // namespace rclcpp::detail

#endif  // RCLCPP__DETAIL__PARAMETER_STORE_HPP_
