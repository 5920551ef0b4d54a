#include "config_center/target_watch.hpp"

#include <algorithm>
#include <exception>

#include "config_center/logging.hpp"

namespace config_center {

void TargetWatch::Attach(rclcpp::Node& node) { graph_event_ = node.get_graph_event(); }

void TargetWatch::Watch(rclcpp::Node& node, const std::string& node_name) {
  if (watched_.count(node_name) == 0) {
    watched_[node_name] = Instances(node, node_name);
  }
}

std::vector<std::string> TargetWatch::Restarted(rclcpp::Node& node) {
  std::vector<std::string> restarted;
  // The event fires for any change anywhere on the graph: a hint to look, not a list.
  if (!graph_event_ || !graph_event_->check_and_clear()) {
    return restarted;
  }
  for (auto& [node_name, known] : watched_) {
    std::set<Gid> now = Instances(node, node_name);
    const bool is_new = std::any_of(now.begin(), now.end(),
                                    [&known = known](const Gid& gid) { return !known.count(gid); });
    if (is_new) {
      restarted.push_back(node_name);
    }
    // Instances that left are dropped, so the set stays as large as the graph.
    known = std::move(now);
  }
  return restarted;
}

bool TargetWatch::Served(rclcpp::Node& node, const std::string& node_name) {
  return !Instances(node, node_name).empty();
}

std::set<TargetWatch::Gid> TargetWatch::Instances(rclcpp::Node& node,
                                                  const std::string& node_name) {
  std::set<Gid> gids;
  try {
    // The DDS topic of the service's requests; each server reads it. Matched by topic, as a
    // new reader may still carry the node name _NODE_NAME_UNKNOWN_.
    for (const rclcpp::TopicEndpointInfo& reader : node.get_subscriptions_info_by_topic(
             "rq/" + node_name + "/set_parametersRequest", /*no_mangle=*/true)) {
      gids.insert(reader.endpoint_gid());
    }
  } catch (const std::exception& error) {
    LOG_ERROR("Cannot list the servers of /{}/set_parameters: {}", node_name, error.what());
  }
  return gids;
}

}  // namespace config_center
