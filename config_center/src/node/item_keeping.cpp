#include <optional>
#include <string>

#include "logging/logging.hpp"
#include "node/config_center.hpp"

namespace config_center {

DriftKeeper::Policy ConfigCenter::DeclareDriftPolicy() {
  rcl_interfaces::msg::ParameterDescriptor descriptor;
  descriptor.description =
      "What becomes of a managed parameter or file another party changed: restore (set back "
      "at once), report (left as it is, shown as drifted), or ignore (not looked at; at "
      "start-up only)";
  // Any type is taken at start-up, so that a value given as another type (a YAML number)
  // is reported, not fatal; a set later must be a string.
  descriptor.dynamic_typing = true;
  const rclcpp::ParameterValue given =
      node_->declare_parameter(kDriftPolicy, rclcpp::ParameterValue("restore"), descriptor);
  DriftKeeper::Policy start = DriftKeeper::Policy::kRestore;
  if (given.get_type() != rclcpp::ParameterType::PARAMETER_STRING ||
      !DriftKeeper::ParsePolicy(given.get<std::string>(), &start)) {
    LOG_ERROR("drift_policy {} is none of restore, report, ignore; restoring",
              rclcpp::to_string(given));
  }
  policy_check_ = node_->add_on_set_parameters_callback(
      [this, start](const std::vector<rclcpp::Parameter>& parameters) {
        rcl_interfaces::msg::SetParametersResult result;
        result.successful = true;
        for (const rclcpp::Parameter& parameter : parameters) {
          if (parameter.get_name() != kDriftPolicy) continue;
          DriftKeeper::Policy policy;
          if (parameter.get_type() != rclcpp::ParameterType::PARAMETER_STRING ||
              !DriftKeeper::ParsePolicy(parameter.as_string(), &policy) ||
              policy == DriftKeeper::Policy::kIgnore) {
            result.successful = false;
            result.reason = "drift_policy is restore or report (ignore only at start-up)";
            return result;
          }
          if (start == DriftKeeper::Policy::kIgnore) {
            result.successful = false;
            result.reason =
                "drift_policy was ignore at start-up: nothing is watched until a restart";
            return result;
          }
          // Told before the set takes effect, which rclcpp does only when every check agrees.
          keeper_->SetPolicy(policy);
          LOG_DEBUG("drift_policy is now {}", parameter.as_string());
        }
        return result;
      });
  return start;
}

void ConfigCenter::OnOutcome(const PendingChange& change, Outcome outcome,
                             const std::string& reason) {
  const auto now = ItemStateTable::WallClock::now();
  if (change.withdraw) {
    // A withdrawal that waits still has its item in effect.
    if (outcome != Outcome::kLater) keeper_->Withdrawn(change.item);
  } else {
    switch (outcome) {
      case Outcome::kDone:
        keeper_->Applied(change.item, change.id, now);
        break;
      case Outcome::kRefused:
        keeper_->NotInEffect(change.item, change.id, ItemState::kRefused, reason, now);
        break;
      case Outcome::kLater:
        keeper_->NotInEffect(change.item, change.id, ItemState::kHeld, reason, now);
        break;
      case Outcome::kNever:
        keeper_->NotInEffect(change.item, change.id, ItemState::kPassedOver, reason, now);
        break;
    }
  }
  StatesChanged();
}

void ConfigCenter::StatesChanged() {
  if (state_publisher_) state_publisher_->OnChange();
}

void ConfigCenter::Restore(const ItemKey& key) {
  std::optional<ConfigData> item;
  if (!store_.ReadItem(key, &item)) {
    LOG_ERROR("Cannot read {} \"{}\" to set it back; it is set back on its next change",
              key.config_type == kFile ? "file item" : "parameter item", key.name);
    return;
  }
  // Gone from the tables meanwhile: its withdrawal is on its way through the change log.
  if (!item) return;
  const ItemStateEntry* entry = states_.Find(key);
  distributor_.Submit(ItemChange{entry != nullptr ? entry->change_id : 0, *item, false});
}

void ConfigCenter::OnFilesTouched() {
  keeper_->FilesTouched(file_watch_->TakeTouched());
  StatesChanged();
  distributor_.Pump();
  Reschedule();
}

}  // namespace config_center
