#ifndef RCLCPP__NODE_OPTIONS_HPP_
#define RCLCPP__NODE_OPTIONS_HPP_

#include <string>
#include <vector>

#include "rclcpp/context.hpp"
#include "rclcpp/parameter.hpp"

namespace rclcpp {

/// Options of a Node, with rclcpp's names and defaults.
class NodeOptions {
public:
  NodeOptions() = default;
  virtual ~NodeOptions() = default;

  rclcpp::Context::SharedPtr context() const {
    return context_ ? context_ : contexts::get_global_default_context();
  }
  NodeOptions& context(rclcpp::Context::SharedPtr context) {
    context_ = context;
    return *this;
  }

  /// Extra command-line style arguments for this node only (e.g. "--ros-args -r __node:=x").
  const std::vector<std::string>& arguments() const { return arguments_; }
  NodeOptions& arguments(const std::vector<std::string>& arguments) {
    arguments_ = arguments;
    return *this;
  }

  std::vector<rclcpp::Parameter>& parameter_overrides() { return parameter_overrides_; }
  const std::vector<rclcpp::Parameter>& parameter_overrides() const { return parameter_overrides_; }
  NodeOptions& parameter_overrides(const std::vector<rclcpp::Parameter>& parameter_overrides) {
    parameter_overrides_ = parameter_overrides;
    return *this;
  }
  template <typename ParameterT>
  NodeOptions& append_parameter_override(const std::string& name, const ParameterT& value) {
    parameter_overrides_.emplace_back(name, rclcpp::ParameterValue(value));
    return *this;
  }

  bool use_global_arguments() const { return use_global_arguments_; }
  NodeOptions& use_global_arguments(bool v) {
    use_global_arguments_ = v;
    return *this;
  }
  bool enable_rosout() const { return enable_rosout_; }
  NodeOptions& enable_rosout(bool v) {
    enable_rosout_ = v;
    return *this;
  }
  bool use_intra_process_comms() const { return use_intra_process_comms_; }
  NodeOptions& use_intra_process_comms(bool v) {
    use_intra_process_comms_ = v;
    return *this;
  }
  bool enable_topic_statistics() const { return enable_topic_statistics_; }
  NodeOptions& enable_topic_statistics(bool v) {
    enable_topic_statistics_ = v;
    return *this;
  }
  /// Whether the node offers ~/set_parameters, ~/get_parameters and the other parameter
  /// services.
  bool start_parameter_services() const { return start_parameter_services_; }
  NodeOptions& start_parameter_services(bool v) {
    start_parameter_services_ = v;
    return *this;
  }
  bool start_parameter_event_publisher() const { return start_parameter_event_publisher_; }
  NodeOptions& start_parameter_event_publisher(bool v) {
    start_parameter_event_publisher_ = v;
    return *this;
  }
  bool allow_undeclared_parameters() const { return allow_undeclared_parameters_; }
  NodeOptions& allow_undeclared_parameters(bool v) {
    allow_undeclared_parameters_ = v;
    return *this;
  }
  bool automatically_declare_parameters_from_overrides() const {
    return automatically_declare_parameters_from_overrides_;
  }
  NodeOptions& automatically_declare_parameters_from_overrides(bool v) {
    automatically_declare_parameters_from_overrides_ = v;
    return *this;
  }

private:
  rclcpp::Context::SharedPtr context_;
  std::vector<std::string> arguments_;
  std::vector<rclcpp::Parameter> parameter_overrides_;
  bool use_global_arguments_ = true;
  bool enable_rosout_ = true;
  bool use_intra_process_comms_ = false;
  bool enable_topic_statistics_ = false;
  bool start_parameter_services_ = true;
  bool start_parameter_event_publisher_ = true;
  bool allow_undeclared_parameters_ = false;
  bool automatically_declare_parameters_from_overrides_ = false;
};

}  // namespace rclcpp

#endif  // RCLCPP__NODE_OPTIONS_HPP_
