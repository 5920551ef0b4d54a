#ifndef CONFIG_CENTER_CONFIG_CENTER_HPP_
#define CONFIG_CENTER_CONFIG_CENTER_HPP_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "config_center/change_log_gaps.hpp"
#include "config_center/config_file_batch.hpp"
#include "config_center/param_service_clients.hpp"
#include "config_center/records.hpp"
#include "config_center/repeat_throttle.hpp"
#include "config_center/target_types.hpp"
#include "config_center/target_watch.hpp"

namespace config_center {

// How an attempt to put one item into effect ended.
enum class Outcome {
  kDone,   // in effect; for a parameter: the target answered (or the node is shutting down)
  kLater,  // may work on another attempt: the target is absent or slow, the file not writable
  kNever,  // cannot work as the item stands: unknown kind, invalid service name, unsafe file name
};

// The node's one long-lived object: it distributes the item tables at start-up and then
// follows the change log on a 1 ms timer. Everything runs on the main thread.
class ConfigCenter {
public:
  static ConfigCenter& GetInstance();

  ConfigCenter(const ConfigCenter&) = delete;
  ConfigCenter& operator=(const ConfigCenter&) = delete;

  void SetNode(std::shared_ptr<rclcpp::Node> node);
  bool Init();

  // Start-up distribution of both item tables, global_config first.
  bool FullConfigDistribute();
  bool ConfigDistribute(const std::string& table, ConfigFileBatch* files = nullptr);

  // One item into effect. An empty value withdraws a parameter.
  Outcome ParamConfigDistribute(const ConfigData& item);
  // With a batch, the file is staged there and goes into effect with CommitConfigFiles.
  static Outcome FileConfigDistribute(const ConfigData& item, ConfigFileBatch* batch = nullptr);
  static bool CommitConfigFiles(ConfigFileBatch& batch);
  Outcome CallSetParameters(std::string service_name,
                            std::shared_ptr<rcl_interfaces::srv::SetParameters::Request> request);

  // Change-log tracking.
  void InitConfigChangeMaxID();
  void PeriodCheckConfig();
  Outcome DeleteParamConfig(const ConfigTableChangesData& change);
  // kNever only for a refused name; a file that cannot be removed is logged and counts as
  // handled, so it does not hold back later changes.
  static Outcome DeleteFileConfig(const ConfigTableChangesData& change);

private:
  ConfigCenter() = default;

  // What ended a polling pass: empty when every new row was handled, otherwise a text that
  // names the failure (which read failed, or which row and why), so a repeat can be told.
  std::string CheckChangeLog();
  std::string ApplyNewChanges(const std::vector<ConfigTableChangesData>& changes);
  // Looks for rows that committed after the position moved past their ids, applies them, and
  // gives up the ids missing for too long.
  void CheckMissingChanges(ChangeLogGaps::Clock::time_point now);
  // Ids of `late` rows for whose item the log holds a newer change.
  bool SupersededChanges(const std::vector<ConfigTableChangesData>& late,
                         std::vector<int64_t>* superseded);
  Outcome ApplyChange(const ConfigTableChangesData& change);
  // Notes the holes below the start-up position that an open transaction may still fill.
  void NoteMissingAtStartup();
  // Moves the position up to `id`; the ids passed over without a row become missing.
  void MovePositionTo(int64_t id, ChangeLogGaps::Clock::time_point now);

  std::shared_ptr<rclcpp::TimerBase> timer_;
  std::shared_ptr<rclcpp::Node> node_;
  int64_t config_change_max_id_ = 0;
  // Ids below the position whose rows have not been seen yet. Like the position, kept in
  // memory only, so a database restart or reconnect leaves both as they are.
  ChangeLogGaps missing_ids_;
  // Why the last look at late rows left one unapplied; part of every pass's outcome until the
  // next look, so that the throttle sees a steady repeat.
  std::string late_failure_;

  // Parameter calls are served by a private executor through a callback group of their own
  // that the main executor never takes, so the same wait works at start-up and inside the
  // timer callback.
  rclcpp::CallbackGroup::SharedPtr param_call_group_;
  std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> param_call_executor_;
  // set_parameters clients, one per target service, kept while it answers in time.
  ParamServiceClients set_clients_;

  RepeatThrottle poll_failures_;

  // Targets that restart get their parameters again (target_restarts.cpp); parameters go
  // out as the type their target declared (typed_parameter.cpp).
  enum class ValueFit {
    kSend,        // the value is ready
    kDone,        // nothing to send, and the item counts as handled
    kUnreachable  // the target did not answer
  };
  ValueFit TypeParameterValue(const ConfigData& item, rcl_interfaces::msg::ParameterValue* value);
  void NoteParamCall(const std::string& node_name, bool answered);
  void ResendToRestartedTargets();
  void ResendParams(const std::string& node_name);
  TargetWatch target_watch_;
  TargetTypes target_types_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CONFIG_CENTER_HPP_
