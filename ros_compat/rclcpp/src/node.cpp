#include "rclcpp/node.hpp"

#include <cstdlib>
#include <string>

#include "names.hpp"
#include "rclcpp/expand_topic_or_service_name.hpp"

namespace rclcpp {

namespace node_interfaces {

namespace {
std::vector<const std::vector<detail::RemapRule>*> rule_sets(
    const detail::RosArguments& local, const rclcpp::Context::SharedPtr& context, bool use_global) {
  std::vector<const std::vector<detail::RemapRule>*> sets{&local.remap_rules};
  if (use_global) sets.push_back(&context->global_arguments().remap_rules);
  return sets;
}
}  // namespace

NodeBase::NodeBase(const std::string& node_name, const std::string& node_namespace,
                   rclcpp::Context::SharedPtr context,
                   const std::vector<std::string>& local_arguments, bool use_global_arguments,
                   bool use_intra_process_default, bool enable_topic_statistics_default)
    : context_(std::move(context)),
      use_global_arguments_(use_global_arguments),
      use_intra_process_default_(use_intra_process_default),
      enable_topic_statistics_default_(enable_topic_statistics_default) {
  if (!context_->is_valid()) {
    throw std::runtime_error("context is not valid: call rclcpp::init() first");
  }
  // Local arguments carry their own --ros-args; a bare list is taken as ROS arguments too.
  std::vector<std::string> args = local_arguments;
  bool has_marker = false;
  for (const auto& a : args) has_marker = has_marker || a == "--ros-args";
  if (!has_marker && !args.empty()) args.insert(args.begin(), "--ros-args");
  local_arguments_ = detail::parse_ros_arguments(args);

  detail::validate_node_name(node_name);
  std::string ns = detail::normalize_namespace(node_namespace);
  const auto sets = rule_sets(local_arguments_, context_, use_global_arguments_);
  std::string name = node_name;
  if (const auto* rule =
          detail::find_node_rule(sets, detail::RemapRule::Kind::NodeName, node_name)) {
    name = rule->to;
    detail::validate_node_name(name);
  }
  if (const auto* rule =
          detail::find_node_rule(sets, detail::RemapRule::Kind::Namespace, node_name)) {
    ns = detail::normalize_namespace(rule->to);
  }
  name_ = name;
  namespace_ = ns;
  fqn_ = detail::fully_qualified_node_name(name_, namespace_);
  context_->dds_participant();  // fail here, not later, when DDS cannot start
  default_callback_group_ = create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive);
}

NodeBase::~NodeBase() = default;

rclcpp::CallbackGroup::SharedPtr NodeBase::create_callback_group(
    rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node) {
  auto group =
      std::make_shared<rclcpp::CallbackGroup>(group_type, automatically_add_to_executor_with_node);
  {
    std::lock_guard<std::mutex> lock(groups_mutex_);
    callback_groups_.push_back(group);
  }
  // Executors holding this node pick up new automatically added groups.
  if (automatically_add_to_executor_with_node) detail::notify_entities_changed(true);
  return group;
}

bool NodeBase::callback_group_in_node(rclcpp::CallbackGroup::SharedPtr group) {
  std::lock_guard<std::mutex> lock(groups_mutex_);
  for (const auto& weak : callback_groups_) {
    if (weak.lock() == group) return true;
  }
  return false;
}

void NodeBase::for_each_callback_group(const CallbackGroupFunction& func) {
  std::vector<rclcpp::CallbackGroup::SharedPtr> groups;
  {
    std::lock_guard<std::mutex> lock(groups_mutex_);
    for (auto it = callback_groups_.begin(); it != callback_groups_.end();) {
      if (auto group = it->lock()) {
        groups.push_back(group);
        ++it;
      } else {
        it = callback_groups_.erase(it);
      }
    }
  }
  for (const auto& group : groups) func(group);
}

std::string NodeBase::resolve_topic_or_service_name(const std::string& name, bool is_service,
                                                    bool only_expand) const {
  if (only_expand || !is_service) {
    return rclcpp::expand_topic_or_service_name(name, name_, namespace_, is_service);
  }
  return detail::resolve_service_name(name, name_, namespace_,
                                      rule_sets(local_arguments_, context_, use_global_arguments_));
}

}  // namespace node_interfaces

namespace {
// "-p name:=value": scalars as YAML reads them (bool, integer, double), otherwise a string.
rclcpp::ParameterValue parse_override_value(const std::string& text) {
  if (text == "true" || text == "True" || text == "TRUE") return rclcpp::ParameterValue(true);
  if (text == "false" || text == "False" || text == "FALSE") return rclcpp::ParameterValue(false);
  if (!text.empty()) {
    char* end = nullptr;
    const long long i = std::strtoll(text.c_str(), &end, 10);
    if (*end == '\0') return rclcpp::ParameterValue(static_cast<int64_t>(i));
    const double d = std::strtod(text.c_str(), &end);
    if (*end == '\0') return rclcpp::ParameterValue(d);
  }
  std::string s = text;
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
    s = s.substr(1, s.size() - 2);
  }
  return rclcpp::ParameterValue(s);
}

std::vector<rclcpp::Parameter> collect_overrides(node_interfaces::NodeBase& base,
                                                 const NodeOptions& options) {
  std::vector<rclcpp::Parameter> out;
  auto add = [&out](const std::string& name, const rclcpp::ParameterValue& value) {
    for (auto& p : out) {
      if (p.get_name() == name) {
        p = rclcpp::Parameter(name, value);
        return;
      }
    }
    out.emplace_back(name, value);
  };
  auto add_text = [&](const std::vector<std::pair<std::string, std::string>>& overrides) {
    for (const auto& [key, text] : overrides) {
      // "node:name:=value" limits an override to one node.
      const auto colon = key.find(':');
      if (colon != std::string::npos) {
        if (key.substr(0, colon) != base.get_name()) continue;
        add(key.substr(colon + 1), parse_override_value(text));
      } else {
        add(key, parse_override_value(text));
      }
    }
  };
  if (options.use_global_arguments()) {
    add_text(base.get_context()->global_arguments().parameter_overrides);
  }
  add_text(base.local_arguments().parameter_overrides);
  for (const auto& p : options.parameter_overrides()) add(p.get_name(), p.get_parameter_value());
  return out;
}
}  // namespace

Node::Node(const std::string& node_name, const NodeOptions& options)
    : Node(node_name, "", options) {}

Node::Node(const std::string& node_name, const std::string& namespace_, const NodeOptions& options)
    : options_(options),
      node_base_(std::make_shared<node_interfaces::NodeBase>(
          node_name, namespace_, options.context(), options.arguments(),
          options.use_global_arguments(), options.use_intra_process_comms(),
          options.enable_topic_statistics())) {
  const auto overrides = collect_overrides(*node_base_, options_);
  parameters_ =
      std::make_unique<detail::ParameterStore>(options_.allow_undeclared_parameters(), overrides);
  if (options_.automatically_declare_parameters_from_overrides()) {
    for (const auto& p : overrides) {
      if (!parameters_->has_parameter(p.get_name())) {
        parameters_->declare_parameter(p.get_name(), p.get_parameter_value(),
                                       rcl_interfaces::msg::ParameterDescriptor(), false);
      }
    }
  }
  if (options_.start_parameter_services()) create_parameter_services();
}

Node::~Node() = default;

void Node::create_parameter_services() {
  detail::ParameterStore* store = parameters_.get();
  set_parameters_service_ = create_service<rcl_interfaces::srv::SetParameters>(
      "~/set_parameters",
      [store](const std::shared_ptr<rcl_interfaces::srv::SetParameters::Request> request,
              std::shared_ptr<rcl_interfaces::srv::SetParameters::Response> response) {
        store->handle_set_parameters(*request, *response);
      },
      rmw_qos_profile_parameters);
  get_parameters_service_ = create_service<rcl_interfaces::srv::GetParameters>(
      "~/get_parameters",
      [store](const std::shared_ptr<rcl_interfaces::srv::GetParameters::Request> request,
              std::shared_ptr<rcl_interfaces::srv::GetParameters::Response> response) {
        store->handle_get_parameters(*request, *response);
      },
      rmw_qos_profile_parameters);
  set_parameters_atomically_service_ = create_service<rcl_interfaces::srv::SetParametersAtomically>(
      "~/set_parameters_atomically",
      [store](const std::shared_ptr<rcl_interfaces::srv::SetParametersAtomically::Request> request,
              std::shared_ptr<rcl_interfaces::srv::SetParametersAtomically::Response> response) {
        store->handle_set_parameters_atomically(*request, *response);
      },
      rmw_qos_profile_parameters);
}

const char* Node::get_name() const { return node_base_->get_name(); }
const char* Node::get_namespace() const { return node_base_->get_namespace(); }
const char* Node::get_fully_qualified_name() const {
  return node_base_->get_fully_qualified_name();
}
rclcpp::Logger Node::get_logger() const { return rclcpp::get_logger(node_base_->get_name()); }

rclcpp::CallbackGroup::SharedPtr Node::create_callback_group(
    rclcpp::CallbackGroupType group_type, bool automatically_add_to_executor_with_node) {
  return node_base_->create_callback_group(group_type, automatically_add_to_executor_with_node);
}

rclcpp::CallbackGroup::SharedPtr Node::resolve_group(
    const rclcpp::CallbackGroup::SharedPtr& group) {
  if (!group) return node_base_->get_default_callback_group();
  if (!node_base_->callback_group_in_node(group)) {
    throw std::runtime_error("Cannot create timer, group not in node.");
  }
  return group;
}

rclcpp::node_interfaces::NodeBaseInterface::SharedPtr Node::get_node_base_interface() {
  return node_base_;
}

const rclcpp::ParameterValue& Node::declare_parameter(
    const std::string& name, const rclcpp::ParameterValue& default_value,
    const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor, bool ignore_override) {
  return parameters_->declare_parameter(name, default_value, parameter_descriptor, ignore_override);
}

const rclcpp::ParameterValue& Node::declare_parameter(
    const std::string& name, rclcpp::ParameterType type,
    const rcl_interfaces::msg::ParameterDescriptor& parameter_descriptor, bool ignore_override) {
  return parameters_->declare_parameter(name, type, parameter_descriptor, ignore_override);
}

void Node::undeclare_parameter(const std::string& name) { parameters_->undeclare_parameter(name); }

bool Node::has_parameter(const std::string& name) const { return parameters_->has_parameter(name); }

rcl_interfaces::msg::SetParametersResult Node::set_parameter(const rclcpp::Parameter& parameter) {
  return parameters_->set_parameters_atomically({parameter});
}

std::vector<rcl_interfaces::msg::SetParametersResult> Node::set_parameters(
    const std::vector<rclcpp::Parameter>& parameters) {
  return parameters_->set_parameters(parameters);
}

rcl_interfaces::msg::SetParametersResult Node::set_parameters_atomically(
    const std::vector<rclcpp::Parameter>& parameters) {
  return parameters_->set_parameters_atomically(parameters);
}

rclcpp::Parameter Node::get_parameter(const std::string& name) const {
  return parameters_->get_parameter(name);
}

bool Node::get_parameter(const std::string& name, rclcpp::Parameter& parameter) const {
  return parameters_->get_parameter(name, parameter);
}

std::vector<rclcpp::Parameter> Node::get_parameters(const std::vector<std::string>& names) const {
  return parameters_->get_parameters(names);
}

rcl_interfaces::msg::ParameterDescriptor Node::describe_parameter(const std::string& name) const {
  return parameters_->describe_parameter(name);
}

Node::OnSetParametersCallbackHandle::SharedPtr Node::add_on_set_parameters_callback(
    OnParametersSetCallbackType callback) {
  return parameters_->add_on_set_parameters_callback(std::move(callback));
}

void Node::remove_on_set_parameters_callback(const OnSetParametersCallbackHandle* const handler) {
  parameters_->remove_on_set_parameters_callback(handler);
}

}  // namespace rclcpp
