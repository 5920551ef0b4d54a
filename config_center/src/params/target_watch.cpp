#include "params/target_watch.hpp"

#include <algorithm>
#include <exception>
#include <utility>

#include "logging/logging.hpp"
#include "params/param_service_name.hpp"

namespace config_center {

namespace {
// A new instance whose type services have not shown up by then is served without waiting
// for them any longer.
constexpr std::chrono::seconds kServicesDeadline{1};
}  // namespace

const std::array<const char*, TargetWatch::kServices> TargetWatch::kServiceNames{
    kSetParameters, kGetParameterTypes, kListParameters};

void TargetWatch::Attach(rclcpp::node_interfaces::NodeGraphInterface& graph) {
  graph_event_ = graph.get_graph_event();
}

void TargetWatch::Watch(rclcpp::node_interfaces::NodeGraphInterface& graph,
                        const std::string& node_name) {
  if (watched_.count(node_name) > 0) {
    return;
  }
  Watched& watched = watched_[node_name];
  for (size_t i = 0; i < kServices; ++i) {
    watched.readers[i] = Readers(graph, node_name, kServiceNames[i]);
  }
  watched.typed = !watched.readers[1].empty();
}

bool TargetWatch::GraphChanged() { return graph_event_ && graph_event_->check_and_clear(); }

bool TargetWatch::GraphPending() const { return graph_event_ && graph_event_->check(); }

std::vector<std::string> TargetWatch::Restarted(rclcpp::node_interfaces::NodeGraphInterface& graph,
                                                bool changed) {
  std::vector<std::string> restarted;
  if (!changed && awaited_ == 0) {
    return restarted;
  }
  const auto now = std::chrono::steady_clock::now();
  awaited_ = 0;
  for (auto& [node_name, watched] : watched_) {
    if (changed) {
      Look(graph, node_name, watched);
    }
    if (!watched.restarted) {
      continue;
    }
    // A request written before the client matched the new reader is lost, and a client still
    // matched with a lingering predecessor does not wait: so go once every service is there.
    const bool complete =
        watched.seen[0] && (!watched.typed || (watched.seen[1] && watched.seen[2]));
    if (complete || now - watched.since >= kServicesDeadline) {
      watched.restarted = false;
      watched.seen = {};
      restarted.push_back(node_name);
    } else {
      ++awaited_;
    }
  }
  return restarted;
}

void TargetWatch::Look(rclcpp::node_interfaces::NodeGraphInterface& graph,
                       const std::string& node_name, Watched& watched) {
  for (size_t i = 0; i < kServices; ++i) {
    std::set<Gid> now = Readers(graph, node_name, kServiceNames[i]);
    const bool is_new = std::any_of(
        now.begin(), now.end(),
        [&known = watched.readers[i]](const Gid& gid) { return known.count(gid) == 0; });
    if (is_new) {
      // The new instance's services may show up in any order.
      watched.seen[i] = true;
      watched.typed = watched.typed || i > 0;
      if (i == 0) {
        watched.restarted = true;
        watched.since = std::chrono::steady_clock::now();
      }
    }
    // Instances that left are dropped, so the sets stay as large as the graph.
    watched.readers[i] = std::move(now);
  }
}

bool TargetWatch::Served(rclcpp::node_interfaces::NodeGraphInterface& graph,
                         const std::string& node_name) {
  return !Readers(graph, node_name, kServiceNames[0]).empty();
}

std::set<TargetWatch::Gid> TargetWatch::Readers(rclcpp::node_interfaces::NodeGraphInterface& graph,
                                                const std::string& node_name, const char* service) {
  std::set<Gid> gids;
  try {
    // The DDS topic of the service's requests; each server reads it. Matched by topic, as a
    // new reader may still carry the node name _NODE_NAME_UNKNOWN_.
    for (const rclcpp::TopicEndpointInfo& reader : graph.get_subscriptions_info_by_topic(
             "rq/" + node_name + "/" + service + "Request", /*no_mangle=*/true)) {
      gids.insert(reader.endpoint_gid());
    }
  } catch (const std::exception& error) {
    LOG_ERROR("Cannot list the servers of /{}/{}: {}", node_name, service, error.what());
  }
  return gids;
}

}  // namespace config_center
