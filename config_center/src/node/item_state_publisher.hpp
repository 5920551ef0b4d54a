#ifndef CONFIG_CENTER_ITEM_STATE_PUBLISHER_HPP_
#define CONFIG_CENTER_ITEM_STATE_PUBLISHER_HPP_

#include <chrono>
#include <cstdint>

#include <config_center_interfaces/msg/item_states.hpp>
#include <config_center_interfaces/srv/get_item_states.hpp>
#include <rclcpp/rclcpp.hpp>

#include "node/one_shot_timer.hpp"
#include "status/item_states.hpp"

namespace config_center {

// Tells the items' states on the robot through the ROS CLI: the topic ~/item_states
// (reliable, transient local: `ros2 topic echo` started later gets the present states at
// once) and the service ~/get_item_states (every item, one node's, or one item). A message
// holds every item in effect and goes out only when something changed, at most one per
// kMinInterval: a burst of changes is published as a few messages, not one per row. Main
// thread only.
class ItemStatePublisher {
public:
  static constexpr std::chrono::milliseconds kMinInterval{100};
  static constexpr char kTopic[] = "~/item_states";
  static constexpr char kService[] = "~/get_item_states";

  // Publishes the present states at once.
  ItemStatePublisher(rclcpp::Node& node, const ItemStateTable& table);

  // The table may have changed. Costs one comparison when it has not.
  void OnChange();

  uint64_t published() const { return published_; }

private:
  void Publish();
  void Answer(const config_center_interfaces::srv::GetItemStates::Request& request,
              config_center_interfaces::srv::GetItemStates::Response& response) const;

  rclcpp::Node& node_;
  const ItemStateTable& table_;
  rclcpp::Publisher<config_center_interfaces::msg::ItemStates>::SharedPtr publisher_;
  rclcpp::Service<config_center_interfaces::srv::GetItemStates>::SharedPtr service_;
  OneShotTimer later_;  // the publication a burst waits for
  std::chrono::steady_clock::time_point last_at_{};
  uint64_t published_version_ = 0;
  uint64_t published_ = 0;
};

// One entry as the message carries it.
config_center_interfaces::msg::ItemState ItemStateMessage(const ItemStateEntry& entry);

}  // namespace config_center

#endif  // CONFIG_CENTER_ITEM_STATE_PUBLISHER_HPP_
