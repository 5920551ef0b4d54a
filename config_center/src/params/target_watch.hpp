#ifndef CONFIG_CENTER_TARGET_WATCH_HPP_
#define CONFIG_CENTER_TARGET_WATCH_HPP_

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <rclcpp/node_interfaces/node_graph_interface.hpp>
#include <rclcpp/rclcpp.hpp>

namespace config_center {

// Notices when a target node comes back as a new process. Each process that serves one of
// the node's parameter services has a reader of its own on the service's request topic, with
// an endpoint GID of its own, so a GID not seen before is a new instance: this holds while a
// killed predecessor still lingers on the graph, and while the new reader's node name is not
// known yet. Only the ROS graph is consulted, and only after it changed.
class TargetWatch {
public:
  // Takes the node's graph event. Must come before anything else waits on the graph (such as
  // a client's wait_for_service), and the event is kept for the node's life: Humble's graph
  // listener stops listening to a node whose graph events have all gone, and a later event
  // does not wake it, so it would never fire.
  void Attach(rclcpp::node_interfaces::NodeGraphInterface& graph);
  // Starts watching `node_name` (a call to it has succeeded) with the instances serving it now.
  void Watch(rclcpp::node_interfaces::NodeGraphInterface& graph, const std::string& node_name);
  // Whether the ROS graph changed anywhere since the last call: a hint to look, not a list.
  // One atomic read.
  bool GraphChanged();
  // The same, without taking the change.
  bool GraphPending() const;
  // The watched nodes that a new instance serves since the last look, once that instance's
  // services are all on the graph; costs nothing while the graph has not changed and no new
  // instance is awaited.
  std::vector<std::string> Restarted(rclcpp::node_interfaces::NodeGraphInterface& graph,
                                     bool graph_changed);
  // Whether any process serves /<node_name>/set_parameters now.
  static bool Served(rclcpp::node_interfaces::NodeGraphInterface& graph,
                     const std::string& node_name);

private:
  using Gid = std::array<uint8_t, RMW_GID_STORAGE_SIZE>;
  // The parameter services a new instance is sent through: set_parameters first (the one
  // that tells a new instance), then the two that learn its types.
  static constexpr size_t kServices = 3;
  static const std::array<const char*, kServices> kServiceNames;

  struct Watched {
    std::array<std::set<Gid>, kServices> readers;
    // Whether it ever offered the type services; one that does not is not waited for.
    bool typed = false;
    // A new instance serves set_parameters; which of its other services are on the graph yet.
    bool restarted = false;
    std::array<bool, kServices> seen{};
    std::chrono::steady_clock::time_point since;
  };

  static std::set<Gid> Readers(rclcpp::node_interfaces::NodeGraphInterface& graph,
                               const std::string& node_name, const char* service);
  void Look(rclcpp::node_interfaces::NodeGraphInterface& graph, const std::string& node_name,
            Watched& watched);

  rclcpp::Event::SharedPtr graph_event_;
  std::map<std::string, Watched> watched_;
  size_t awaited_ = 0;  // restarted nodes whose services are not all on the graph yet
};

}  // namespace config_center

#endif  // CONFIG_CENTER_TARGET_WATCH_HPP_
