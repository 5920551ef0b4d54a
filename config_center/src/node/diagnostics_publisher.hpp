#ifndef CONFIG_CENTER_DIAGNOSTICS_PUBLISHER_HPP_
#define CONFIG_CENTER_DIAGNOSTICS_PUBLISHER_HPP_

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>

#include "node/one_shot_timer.hpp"
#include "status/node_status.hpp"

namespace config_center {

// Publishes the node's status on /diagnostics, where diagnostic aggregators and robot
// monitors look: once a second (OnSecond, from the node's own once-a-second pass), and at
// once when its level changes. Main thread only (its timer runs in the node's default
// callback group).
class DiagnosticsPublisher {
public:
  using Snapshot = std::function<StatusSnapshot()>;
  static constexpr char kTopic[] = "/diagnostics";
  // Publishes the first status at once.
  DiagnosticsPublisher(rclcpp::Node& node, Snapshot snapshot);

  // The status may have changed level: published at once when it has.
  void OnStatusChange();
  // A second has passed: published whatever it holds.
  void OnSecond();

private:
  NodeStatus Take() const;
  void Publish(const NodeStatus& status);
  // A one-shot look at the moment the level changes by time alone (a held target crossing
  // the warning threshold), so that change is published at once too.
  void ScheduleLevelCheck(const NodeStatus& status);

  rclcpp::Node& node_;
  Snapshot snapshot_;
  std::string name_prefix_;  // "config_center: "
  std::string hardware_id_;  // the host's name
  rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr publisher_;
  OneShotTimer level_timer_;
  std::optional<NodeStatus::Clock::time_point> level_check_at_;
  StatusLevel published_level_ = StatusLevel::kOk;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_DIAGNOSTICS_PUBLISHER_HPP_
