#include "params/param_calls.hpp"

#include <utility>

namespace config_center {

ParamCalls::ParamCalls(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr base,
                       rclcpp::node_interfaces::NodeGraphInterface::SharedPtr graph,
                       rclcpp::node_interfaces::NodeServicesInterface::SharedPtr services,
                       rclcpp::CallbackGroup::SharedPtr group)
    : base_(std::move(base)),
      graph_(std::move(graph)),
      services_(std::move(services)),
      group_(std::move(group)),
      graph_event_(graph_->get_graph_event()) {}

bool ParamCalls::Matched(const Call& call) {
  // Any change of the graph (a target gone, or a new instance of it) asks the graph again.
  if (graph_event_->check_and_clear()) answered_.clear();
  return answered_.count(call.service) > 0 || call.client->service_is_ready();
}

void ParamCalls::SendIfReady(uint64_t key) {
  const auto found = calls_.find(key);
  if (found == calls_.end()) return;
  Call& call = found->second;
  try {
    if (!Matched(call)) return;
    call.request_id = call.send();
  } catch (const std::exception& error) {
    Fail(key, Result::kError, error.what());
  }
}

void ParamCalls::Fail(uint64_t key, Result result, const std::string& error) {
  const auto found = calls_.find(key);
  if (found == calls_.end()) return;
  Call call = std::move(found->second);
  calls_.erase(found);
  if (result != Result::kShutdown) {
    if (call.request_id) call.remove_pending(*call.request_id);
    ForgetClient(call.service);
  }
  call.fail(result, error);
}

void ParamCalls::ForgetClient(const std::string& service) {
  answered_.erase(service);
  if (clients_.erase(service) == 0) return;
  // Jazzy's executor keeps a dropped client in its wait set as an expired entry until it next
  // collects the node's entities, and while it is there a ready entity behind it can be
  // missed (see OneShotTimer): the node's guard condition makes it collect at once.
  base_->get_notify_guard_condition().trigger();
}

void ParamCalls::Poll(Clock::time_point now) {
  if (calls_.empty()) return;
  // Outcomes are handed back as the walk goes, and a callback may start the next call, so
  // walk a copy of the keys.
  std::vector<uint64_t> keys;
  for (const auto& [key, call] : calls_) keys.push_back(key);
  const bool running = rclcpp::ok();
  for (const uint64_t key : keys) {
    const auto found = calls_.find(key);
    if (found == calls_.end()) continue;
    if (!running) {
      Fail(key, Result::kShutdown, "");
      continue;
    }
    if (!found->second.request_id) {
      SendIfReady(key);
      const auto still = calls_.find(key);
      if (still != calls_.end() && !still->second.request_id && now >= still->second.deadline) {
        Fail(key, Result::kNoService, "");
      }
    } else if (now >= found->second.deadline) {
      Fail(key, Result::kNoAnswer, "");
    }
  }
}

bool ParamCalls::AwaitingService() const {
  for (const auto& [key, call] : calls_) {
    if (!call.request_id) return true;
  }
  return false;
}

std::optional<ParamCalls::Clock::time_point> ParamCalls::NextDeadline() const {
  std::optional<Clock::time_point> next;
  for (const auto& [key, call] : calls_) {
    if (!next || call.deadline < *next) next = call.deadline;
  }
  return next;
}

}  // namespace config_center
