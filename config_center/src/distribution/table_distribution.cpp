#include <chrono>
#include <string>
#include <vector>

#include "node/config_center.hpp"
#include "files/config_file.hpp"
#include "files/config_file_batch.hpp"
#include "logging/logging.hpp"

namespace config_center {

namespace {
// Longest a start-up waits for one parameter call step; every call has its own 1 s deadline,
// so this only bounds the spin between them.
constexpr std::chrono::milliseconds kStartupSpinStep{100};
}  // namespace

bool ConfigCenter::FullConfigDistribute() {
  LOG_DEBUG("FullConfigDistribute");
  EffectiveItems items;
  if (!ReadEffectiveItems(&items)) {
    return false;
  }
  starting_ = true;
  DistributeEffective(items);
  WaitForStartupCalls();
  starting_ = false;
  return true;
}

bool ConfigCenter::ReadEffectiveItems(EffectiveItems* items) {
  if (!ConfigDistribute("global_config", items)) {
    LOG_ERROR("Distribute global_config failed!");
    return false;
  }
  if (!ConfigDistribute("custom_config", items)) {
    LOG_ERROR("Distribute custom_config failed!");
    return false;
  }
  return true;
}

bool ConfigCenter::ConfigDistribute(const std::string& table, EffectiveItems* items) {
  LOG_DEBUG("ConfigDistribute table : {}", table);
  std::vector<ConfigData> rows;
  if (!ReadLiveItems(table, ItemColumns::kAll, &rows)) {
    return false;
  }
  for (const ConfigData& item : rows) {
    if (item.config_type != kParam && item.config_type != kFile) {
      // Like a change of no known kind: logged, passed over, and the rest goes on.
      LOG_ERROR("Unknow config type");
      LOG_ERROR(
          "Item \"{}\" of {} can never be applied, so it is passed over: config_type {} is no "
          "known kind of item",
          item.name, table, item.config_type);
      NotePassedOver("Item \"" + item.name + "\" of " + table + ": config_type " +
                     std::to_string(item.config_type) + " is no known kind of item");
      continue;
    }
    items->Add(item);
  }
  return true;
}

void ConfigCenter::DistributeEffective(const EffectiveItems& items) {
  // Files go into effect together: one flush for all instead of two fsyncs per file, and a
  // file the disk already holds is not written again. Parameters go to their queues, each
  // once, with the value in effect. A file that cannot go in with the others is tried again
  // on its own, through its queue, already logged.
  ConfigFileBatch files;
  std::vector<const ConfigData*> staged;
  const auto retry_alone = [this](const ConfigData& item) {
    Submit(PendingChange{0, item, false, /*announced=*/true});
  };
  for (const ConfigData& item : items.items()) {
    if (item.config_type == kParam) {
      Submit(PendingChange{0, item, false, false});
      continue;
    }
    LOG_DEBUG("FileConfigDistribute: {}", item.name);
    std::string path;
    std::string error;
    if (!ConfigFilePath(kConfigsDir, item.name, &path, &error)) {
      Submit(PendingChange{0, item, false, false});  // refused there, with the reason
      continue;
    }
    record_.AddFile(item.name);
    if (MakeConfigDirectories(kConfigsDir, item.name, &error) != DirectoriesMade::kReady) {
      LOG_ERROR("Failed to make the directories of {}: {}", item.name, error);
      retry_alone(item);
      continue;
    }
    const WriteStep failed = files.Stage(item.name, path, item.value, &error);
    if (failed != WriteStep::kNone) {
      LOG_ERROR("{}", WriteFailureText(failed, item.name, error));
      retry_alone(item);
      continue;
    }
    staged.push_back(&item);
  }
  SaveRecord();
  for (const ConfigFileBatch::Failure& failure : files.Commit()) {
    LOG_ERROR("{}", WriteFailureText(failure.step, failure.name, failure.error));
    for (const ConfigData* item : staged) {
      if (item->name == failure.name) retry_alone(*item);
    }
  }
  LOG_DEBUG("Config files in effect: {} written, {} already up to date", files.committed(),
            files.unchanged());

  // What the node put into effect earlier and the tables no longer hold goes away; what it
  // never wrote is not its to touch. (Queuing a withdrawal leaves the record as it is.)
  for (const std::string& name : record_.files()) {
    if (!items.HasFile(name)) {
      Submit(PendingChange{0, ConfigData{name, "", "", kFile}, true, false});
    }
  }
  for (const auto& [node_name, name] : record_.params()) {
    if (!items.HasParam(node_name, name)) {
      Submit(PendingChange{0, ConfigData{name, "", node_name, kParam}, true, false});
    }
  }
  PumpTargets();
}

void ConfigCenter::WaitForStartupCalls() {
  if (calls_.idle()) return;
  // The main executor does not spin yet: a private one serves the calls' group meanwhile and
  // gives it back, so that rclcpp::spin takes it with the node.
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_callback_group(param_call_group_, node_->get_node_base_interface());
  while (rclcpp::ok() && !calls_.idle()) {
    const auto now = TargetQueues::Clock::now();
    // A call that waits for its service to match is looked at every millisecond.
    auto step = calls_.AwaitingService() ? std::chrono::milliseconds(1) : kStartupSpinStep;
    if (const auto deadline = calls_.NextDeadline(); deadline && *deadline - now < step) {
      step = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
    }
    executor.spin_once(std::max(step, std::chrono::milliseconds(0)));
    calls_.Poll(TargetQueues::Clock::now());
    PumpTargets();
  }
  executor.remove_callback_group(param_call_group_);
}

}  // namespace config_center
