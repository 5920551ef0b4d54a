#include "node/diagnostics_publisher.hpp"

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace config_center {

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using diagnostic_msgs::msg::KeyValue;

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace

DiagnosticsPublisher::DiagnosticsPublisher(rclcpp::Node& node, Snapshot snapshot)
    : node_(node),
      snapshot_(std::move(snapshot)),
      name_prefix_(std::string(node.get_name()) + ": "),
      hardware_id_(HostName()),
      level_timer_(node, [this] {
        level_check_at_.reset();
        OnStatusChange();
      }) {
  // Reliable, and the last status kept for a monitor that starts later (a volatile reader,
  // as aggregators use, still matches).
  publisher_ =
      node_.create_publisher<DiagnosticArray>(kTopic, rclcpp::QoS(1).reliable().transient_local());
  OnSecond();
}

void DiagnosticsPublisher::OnSecond() {
  const NodeStatus status = Take();
  Publish(status);
  ScheduleLevelCheck(status);
}

void DiagnosticsPublisher::OnStatusChange() {
  const NodeStatus status = Take();
  if (status.level() != published_level_) Publish(status);
  ScheduleLevelCheck(status);
}

NodeStatus DiagnosticsPublisher::Take() const {
  return NodeStatus(snapshot_(), NodeStatus::Clock::now(), NodeStatus::WallClock::now());
}

void DiagnosticsPublisher::Publish(const NodeStatus& status) {
  DiagnosticArray array;
  array.header.stamp = node_.now();
  for (const StatusEntry& entry : status.Entries()) {
    DiagnosticStatus out;
    out.level = static_cast<DiagnosticStatus::_level_type>(entry.level);
    out.name = name_prefix_ + entry.name;
    out.message = entry.message;
    out.hardware_id = hardware_id_;
    out.values.reserve(entry.values.size());
    for (const auto& [key, value] : entry.values) {
      KeyValue pair;
      pair.key = key;
      pair.value = value;
      out.values.push_back(std::move(pair));
    }
    array.status.push_back(std::move(out));
  }
  publisher_->publish(array);
  published_level_ = status.level();
}

void DiagnosticsPublisher::ScheduleLevelCheck(const NodeStatus& status) {
  const std::optional<NodeStatus::Clock::time_point> at = status.NextLevelChange();
  if (at == level_check_at_) return;
  level_check_at_ = at;
  level_timer_.Cancel();
  if (!at) return;
  const auto wait = std::max<NodeStatus::Clock::duration>(*at - NodeStatus::Clock::now(),
                                                          std::chrono::milliseconds(1));
  level_timer_.ArmIn(wait);
}

}  // namespace config_center
