#ifndef CONFIG_CENTER_PARAMETER_EVENT_FOLLOWER_HPP_
#define CONFIG_CENTER_PARAMETER_EVENT_FOLLOWER_HPP_

#include <functional>
#include <string>

#include <rcl_interfaces/msg/parameter_event.hpp>
#include <rclcpp/rclcpp.hpp>

namespace config_center {

// Follows /parameter_events, where every node announces each change of its parameters,
// whoever made it, and hands on the changes and deletions (a deletion as a value that is not
// set). Declarations (new parameters) are not handed on: a node that starts declares its
// defaults, and a restarted node is served by the restart watch. Costs nothing while no
// parameter changes anywhere.
class ParameterEventFollower {
public:
  // `node_name` as the tables name nodes: the fully qualified name without its leading '/'.
  using OnChange = std::function<void(const std::string& node_name, const std::string& name,
                                      const rcl_interfaces::msg::ParameterValue& value)>;
  ParameterEventFollower(rclcpp::Node& node, OnChange on_change);

  // Runs what a message would run: for tests of the composition, and the subscription's own
  // callback.
  void Handle(const rcl_interfaces::msg::ParameterEvent& event) const;

private:
  OnChange on_change_;
  std::string own_name_;  // the node's own events are not followed
  rclcpp::Subscription<rcl_interfaces::msg::ParameterEvent>::SharedPtr subscription_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_PARAMETER_EVENT_FOLLOWER_HPP_
