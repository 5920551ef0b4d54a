#include "params/parameter_event_follower.hpp"

#include <utility>

namespace config_center {

ParameterEventFollower::ParameterEventFollower(rclcpp::Node& node, OnChange on_change)
    : on_change_(std::move(on_change)), own_name_(node.get_fully_qualified_name()) {
  subscription_ = node.create_subscription<rcl_interfaces::msg::ParameterEvent>(
      "/parameter_events", rclcpp::ParameterEventsQoS(),
      [this](const rcl_interfaces::msg::ParameterEvent& event) { Handle(event); });
}

void ParameterEventFollower::Handle(const rcl_interfaces::msg::ParameterEvent& event) const {
  if (event.node == own_name_ || event.node.empty()) return;
  const std::string node_name = event.node[0] == '/' ? event.node.substr(1) : event.node;
  for (const auto& parameter : event.changed_parameters) {
    on_change_(node_name, parameter.name, parameter.value);
  }
  for (const auto& parameter : event.deleted_parameters) {
    on_change_(node_name, parameter.name, rcl_interfaces::msg::ParameterValue());
  }
}

}  // namespace config_center
