#include "node/item_state_publisher.hpp"

#include <algorithm>
#include <utility>

namespace config_center {

namespace {

using ItemStateMsg = config_center_interfaces::msg::ItemState;
using config_center_interfaces::msg::ItemStates;
using config_center_interfaces::srv::GetItemStates;

builtin_interfaces::msg::Time TimeOf(std::chrono::system_clock::time_point when) {
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  builtin_interfaces::msg::Time time;
  time.sec = static_cast<int32_t>(ns / 1000000000);
  time.nanosec = static_cast<uint32_t>(ns % 1000000000);
  return time;
}

}  // namespace

ItemStateMsg ItemStateMessage(const ItemStateEntry& entry) {
  ItemStateMsg out;
  out.node_name = entry.key.node_name;
  out.name = entry.key.name;
  out.config_type = static_cast<uint8_t>(entry.key.config_type);
  out.state = ItemStateName(entry.state);
  out.reason = entry.reason;
  out.value = entry.value;
  out.value_sha256 = entry.value_sha256;
  out.change_id = entry.change_id;
  out.since = TimeOf(entry.since);
  out.drift_count = entry.drift_count;
  return out;
}

ItemStatePublisher::ItemStatePublisher(rclcpp::Node& node, const ItemStateTable& table)
    : node_(node), table_(table), later_(node, [this] {
        if (table_.version() != published_version_) Publish();
      }) {
  publisher_ =
      node_.create_publisher<ItemStates>(kTopic, rclcpp::QoS(1).reliable().transient_local());
  service_ = node_.create_service<GetItemStates>(
      kService, [this](const std::shared_ptr<GetItemStates::Request>& request,
                       const std::shared_ptr<GetItemStates::Response>& response) {
        Answer(*request, *response);
      });
  Publish();
}

void ItemStatePublisher::OnChange() {
  if (table_.version() == published_version_ || later_.armed()) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_at_ >= kMinInterval) {
    Publish();
    return;
  }
  // Within a burst: one publication once the interval is over carries everything since.
  const auto wait = std::max<std::chrono::steady_clock::duration>(last_at_ + kMinInterval - now,
                                                                  std::chrono::milliseconds(1));
  later_.ArmIn(wait);
}

void ItemStatePublisher::Publish() {
  ItemStates message;
  message.stamp = node_.now();
  const std::vector<ItemStateEntry> all = table_.All();
  message.items.reserve(all.size());
  for (const ItemStateEntry& entry : all) message.items.push_back(ItemStateMessage(entry));
  publisher_->publish(message);
  published_version_ = table_.version();
  last_at_ = std::chrono::steady_clock::now();
  ++published_;
}

void ItemStatePublisher::Answer(const GetItemStates::Request& request,
                                GetItemStates::Response& response) const {
  std::vector<ItemStateEntry> entries;
  if (!request.name.empty()) {
    const int type = request.node_name.empty() ? kFile : kParam;
    const ItemStateEntry* entry = table_.Find({type, request.node_name, request.name});
    if (entry != nullptr) entries.push_back(*entry);
  } else if (!request.node_name.empty()) {
    entries = table_.OfNode(request.node_name);
  } else {
    entries = table_.All();
  }
  for (const ItemStateEntry& entry : entries) response.items.push_back(ItemStateMessage(entry));
}

}  // namespace config_center
