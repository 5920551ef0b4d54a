#include "node/config_center.hpp"

#include <chrono>
#include <utility>

#include "files/config_file.hpp"
#include "store/db_connection.hpp"
#include "logging/logging.hpp"

namespace config_center {

ConfigCenter& ConfigCenter::GetInstance() {
  static ConfigCenter instance;
  return instance;
}

// Reached during static initialisation, so the instance exists before main runs.
[[maybe_unused]] static ConfigCenter& early_instance = ConfigCenter::GetInstance();

void ConfigCenter::SetNode(std::shared_ptr<rclcpp::Node> node) {
  node_ = std::move(node);
  // Served by the main executor once it spins (the answers to parameter calls arrive there),
  // and before that by the start-up's own executor.
  param_call_group_ =
      node_->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, true);
  calls_.Attach(node_.get(), param_call_group_);
  target_watch_.Attach(*node_);
  // Commits the feed saw and changes of the ROS graph wake the main executor through this.
  wake_ = std::make_shared<WakeSignal>([this](bool triggered) { OnWake(triggered); },
                                       [this] { return target_watch_.GraphPending(); });
  node_->get_node_waitables_interface()->add_waitable(wake_, nullptr);
}

bool ConfigCenter::Init() {
  if (!DbConnection::GetInstance().Connect()) {
    LOG_ERROR("Connect sql failed");
    return false;
  }
  if (const size_t swept = SweepTemporaries(kConfigsDir); swept > 0) {
    LOG_DEBUG("Removed {} temporary files that an interrupted write left behind", swept);
  }
  std::string why;
  if (!record_.Load(&why)) {
    // Without it nothing the node wrote earlier can be withdrawn; it is written anew.
    LOG_ERROR("Cannot read the record of what was distributed ({}); starting from an empty one",
              why);
  }
  // The feed follows the binary log from now on; until it is up the log is polled. The
  // position is noted before the tables are read: a change committed while they are being
  // distributed is then applied once passes start (perhaps once more than needed).
  change_log_.StartFeed([this] {
    if (wake_) wake_->Trigger();
  });
  InitConfigChangeMaxID();
  if (!FullConfigDistribute()) {
    LOG_ERROR("Full config distribute failed!");
    return false;
  }
  StartPasses();
  LOG_DEBUG("Config center ready, following the change log after id {}", change_log_.position());
  return true;
}

}  // namespace config_center
