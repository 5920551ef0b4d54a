#ifndef CONFIG_CENTER_CONFIG_CENTER_HPP_
#define CONFIG_CENTER_CONFIG_CENTER_HPP_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <rcl_interfaces/msg/parameter_value.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "tracking/change_log.hpp"
#include "files/config_file.hpp"
#include "distribution/distribution_record.hpp"
#include "store/item_tables.hpp"
#include "status/node_status.hpp"
#include "params/param_calls.hpp"
#include "store/records.hpp"
#include "logging/repeat_throttle.hpp"
#include "distribution/target_queues.hpp"
#include "params/target_types.hpp"
#include "params/target_watch.hpp"
#include "node/wake_signal.hpp"

namespace config_center {

// How an attempt to put one item into effect ended.
enum class Outcome {
  kDone,   // in effect; for a parameter: the target answered (or the node is shutting down)
  kLater,  // may work on another attempt: the target is absent or slow, the file not writable
  kNever,  // cannot work as the item stands: unknown kind, invalid service name, unusable name
};

// The log text of a failed write of the file item `name`, in the words of the step that
// failed.
std::string WriteFailureText(WriteStep step, const std::string& name, const std::string& error);

// The node's one long-lived object: it distributes the item tables at start-up and then
// follows the change log on a 1 ms timer. Each change goes to its target's queue
// (target_dispatch.cpp): a target that cannot take its change holds back only itself.
// Everything runs on the main thread.
class ConfigCenter {
public:
  static ConfigCenter& GetInstance();

  ConfigCenter(const ConfigCenter&) = delete;
  ConfigCenter& operator=(const ConfigCenter&) = delete;

  void SetNode(std::shared_ptr<rclcpp::Node> node);
  bool Init();

  // Start-up distribution: the items in effect (custom_config over global_config) go out
  // once each; what the record holds that the tables no longer have is withdrawn.
  bool FullConfigDistribute();
  // Reads the live items of `table` into `items`; false when the table cannot be read.
  bool ConfigDistribute(const std::string& table, EffectiveItems* items);

  // File items, put into effect at once; kLater and kNever say why in `why`. These log what
  // they do; the quiet forms below are for retries.
  static Outcome FileConfigDistribute(const ConfigData& item, std::string* why = nullptr);
  // kNever only for a refused name. A file that is gone already counts as removed.
  static Outcome DeleteFileConfig(const ConfigTableChangesData& change, std::string* why = nullptr);
  static Outcome WriteConfigItem(const ConfigData& item, std::string* why);
  static Outcome RemoveConfigItem(const std::string& name, std::string* why);

  // Change-log tracking: the position before the tables are read, then a pass each time
  // the log may have grown (every 1 ms while polling; see pass_schedule.cpp).
  void InitConfigChangeMaxID();
  void PeriodCheckConfig();
  // Stops following the binary log; before ROS shuts down.
  void Stop();

  // What is held back, for the operator.
  const TargetQueues& targets() const { return targets_; }

  // What the node tells of itself (status_snapshot.cpp): the change log, the database as the
  // last pass found it, the held targets, what was passed over, the last error.
  StatusSnapshot Snapshot() const;
  // Told when the status may change level (`changed`: a pass starts or stops failing, the
  // database is found lost or back, a target starts or stops being held), and once a second
  // besides (on the pass that keeps a second's watch anyway, so a monitor costs no wake-up
  // of its own). Null: nobody is told.
  using StatusListener = std::function<void(bool changed)>;
  void SetStatusListener(StatusListener listener) { status_listener_ = std::move(listener); }

private:
  ConfigCenter() = default;

  // ---- when passes and retries run (pass_schedule.cpp)
  // Starts the change feed and the timers: the poll every 1 ms until the feed is up, the
  // safety pass once a second, the wake-up for commits and graph changes.
  void StartPasses();
  // The work besides reading the change log: graph changes, restarted targets, parameter
  // calls that matched or ran out of time, targets whose retry is due; then the alarm.
  void Housekeeping(bool graph_changed);
  void OnWake(bool triggered);
  // Arms the one-shot alarm for the earliest of: a re-check after a commit, a held target's
  // retry, a call's deadline, a call waiting for its service. Only while the feed is up: the
  // poll's every-millisecond pass does all of that while it runs.
  void Reschedule();

  // ---- the change log (change_polling.cpp; following it: change_log.cpp)
  // What ended a polling pass: empty when the log was read, otherwise a text that names the
  // failure, so a repeat can be told.
  std::string CheckChangeLog();
  // Queues the change a row describes ("insert", or "update" with deleted 0: its item again;
  // "update" with deleted set: its withdrawal); other rows are skipped.
  void ApplyChange(const ConfigTableChangesData& change);
  // The log went back below the position: the tables are distributed again and the log is
  // followed from its new maximum. Empty when done, else why not (tried again next pass).
  std::string Resynchronise();

  // ---- start-up and resynchronisation (table_distribution.cpp)
  // Reads both item tables; false when one cannot be read (its failure line is logged).
  bool ReadEffectiveItems(EffectiveItems* items);
  // Puts `items` into effect (files together, parameters through their queues) and withdraws
  // what the record holds that `items` lacks.
  void DistributeEffective(const EffectiveItems& items);
  // Spins the parameter calls of start-up until each has an outcome.
  void WaitForStartupCalls();

  // ---- targets (target_dispatch.cpp)
  // Queues a change for its target. A change that can never be applied (no known kind, a node
  // name that makes no service name, a file name that can never be a file) is logged, with
  // its change-log id or its item's name, and passed over.
  void Submit(PendingChange change);
  // Attempts the first change of every target whose turn it is.
  void PumpTargets();
  void AttemptTarget(const Target& target);
  // How an attempt ended; a target that cannot take its change now is held.
  void FinishAttempt(const Target& target, Outcome outcome, const std::string& reason);
  // Held nodes that are on the graph again are retried at once.
  void RetryReappearedTargets();
  void SaveRecord();

  // ---- status (status_snapshot.cpp)
  // The outcome of a pass over the change log (empty: it read the log).
  void NotePass(const std::string& failure);
  // A change or item that can never be applied: `what` names it and says why.
  void NotePassedOver(std::string what);
  void NotifyStatus() const;

  // ---- parameters (param_distribution.cpp, typed_parameter.cpp, deletion_handling.cpp)
  // Starts the first change of a node's queue: a value to set, or a withdrawal.
  void ParamConfigDistribute(const Target& target, const PendingChange& change);
  void DeleteParamConfig(const Target& target, const PendingChange& change);
  // Sends one parameter; the outcome goes to FinishAttempt.
  void CallSetParameters(const Target& target, rcl_interfaces::msg::Parameter parameter);
  // The value of `item` as its target declared it; learns the node's types first when they
  // are not known (the send follows from the answer).
  void TypeAndSend(const Target& target, const ConfigData& item);
  void NoteParamCall(const std::string& node_name, bool answered);
  // Restarted targets get their parameters again (target_restarts.cpp).
  void ResendToRestartedTargets(bool graph_changed);
  void ResendParams(const std::string& node_name);

  std::shared_ptr<rclcpp::TimerBase> timer_;  // the poll, every 1 ms, while the feed is down
  std::shared_ptr<rclcpp::Node> node_;
  std::shared_ptr<rclcpp::TimerBase> safety_timer_;  // a pass once a second
  std::shared_ptr<rclcpp::TimerBase> alarm_;         // one-shot; see Reschedule
  std::chrono::steady_clock::time_point alarm_at_ = std::chrono::steady_clock::time_point::max();
  std::chrono::steady_clock::time_point last_pass_{};
  std::shared_ptr<WakeSignal> wake_;
  // The position in the change log (its config_change_max_id_) and the late rows.
  ChangeLog change_log_{[this](const ConfigTableChangesData& change) { ApplyChange(change); }};
  // The log went back and the tables are still to be distributed again.
  bool resync_due_ = false;
  RepeatThrottle poll_failures_;

  // Parameter calls: their callback group is served by the main executor once it spins, and
  // at start-up by a private one (WaitForStartupCalls).
  rclcpp::CallbackGroup::SharedPtr param_call_group_;
  ParamCalls calls_;
  TargetQueues targets_;
  DistributionRecord record_;
  bool record_failing_ = false;  // its last save failed (logged once)
  bool pumping_ = false;
  bool starting_ = false;  // start-up's distribution: held targets wait for the main loop
  TargetWatch target_watch_;
  TargetTypes target_types_;

  // Since when passes fail, and how the last one did (empty: it read the log).
  std::string pass_failure_;
  unsigned int pass_error_number_ = 0;
  StatusSnapshot::Clock::time_point failing_since_{};
  uint64_t passed_over_ = 0;
  std::string last_passed_over_;
  StatusListener status_listener_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CONFIG_CENTER_HPP_
