#ifndef CONFIG_CENTER_TARGET_WATCH_HPP_
#define CONFIG_CENTER_TARGET_WATCH_HPP_

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>

namespace config_center {

// Notices when a target node comes back as a new process. Each process that serves
// /<node>/set_parameters has a reader of its own on the request topic, with an endpoint GID
// of its own, so a GID not seen before is a new instance: this holds while a killed
// predecessor still lingers on the graph, and while the new reader's node name is not
// known yet. Only the ROS graph is consulted, and only after it changed.
class TargetWatch {
public:
  // Takes the node's graph event. Must come before anything else waits on the graph (such as
  // a client's wait_for_service), and the event is kept for the node's life: Humble's graph
  // listener stops listening to a node whose graph events have all gone, and a later event
  // does not wake it, so it would never fire.
  void Attach(rclcpp::Node& node);
  // Starts watching `node_name` (a call to it has succeeded) with the instances serving it now.
  void Watch(rclcpp::Node& node, const std::string& node_name);
  // The watched nodes that a new instance serves since the last look; empty at the cost of
  // one atomic read while the graph has not changed.
  std::vector<std::string> Restarted(rclcpp::Node& node);
  // Whether any process serves /<node_name>/set_parameters now.
  static bool Served(rclcpp::Node& node, const std::string& node_name);

private:
  using Gid = std::array<uint8_t, RMW_GID_STORAGE_SIZE>;
  static std::set<Gid> Instances(rclcpp::Node& node, const std::string& node_name);

  rclcpp::Event::SharedPtr graph_event_;
  std::map<std::string, std::set<Gid>> watched_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_TARGET_WATCH_HPP_
