#ifndef CONFIG_CENTER_CONFIG_CENTER_HPP_
#define CONFIG_CENTER_CONFIG_CENTER_HPP_

#include <chrono>
#include <memory>
#include <string>

#include <rclcpp/rclcpp.hpp>

#include "distribution/distribution_record.hpp"
#include "distribution/distributor.hpp"
#include "files/file_watch.hpp"
#include "files/file_writer.hpp"
#include "files/managed_files.hpp"
#include "logging/repeat_throttle.hpp"
#include "node/drift_keeper.hpp"
#include "node/item_state_publisher.hpp"
#include "node/one_shot_timer.hpp"
#include "node/wake_signal.hpp"
#include "params/param_pusher.hpp"
#include "params/parameter_event_follower.hpp"
#include "status/item_states.hpp"
#include "status/node_status.hpp"
#include "status/status_tracker.hpp"
#include "store/db_account.hpp"
#include "store/db_connection.hpp"
#include "store/db_item_store.hpp"
#include "tracking/change_log.hpp"

namespace config_center {

// Where file items live. An item's name is a path below it.
inline constexpr char kConfigsDir[] = "/opt/velgar/configs/";

// The node's one long-lived object, its composition root: it owns the parts, wires them to
// each other and to the node's timers, and runs the passes. At start-up the item tables are
// distributed; afterwards the change log is followed (the change feed wakes a pass when a
// change commits; without it, a pass every 1 ms). Everything runs on the main thread.
class ConfigCenter {
public:
  struct Options {
    DbAccount account = kNodeAccount;
    std::string configs_dir = kConfigsDir;
    std::string record_dir = DistributionRecord::DefaultDirectory();
  };

  ConfigCenter(std::shared_ptr<rclcpp::Node> node, const Options& options);
  explicit ConfigCenter(std::shared_ptr<rclcpp::Node> node)
      : ConfigCenter(std::move(node), Options{}) {}
  ConfigCenter(const ConfigCenter&) = delete;
  ConfigCenter& operator=(const ConfigCenter&) = delete;

  // Connects, distributes the tables and starts the passes; false when start-up failed (the
  // database cannot be reached or a table cannot be read).
  bool Init();
  // Start-up distribution: the items in effect go out once each, parameters answered or
  // their targets held, before the main loop starts.
  bool FullConfigDistribute();
  // The change log's position, noted before the tables are read.
  void InitConfigChangeMaxID();
  // One pass over the change log, then the housekeeping of targets and calls.
  void PeriodCheckConfig();
  // Stops following the binary log; before ROS shuts down.
  void Stop();

  // What is held back, for the operator.
  const TargetQueues& targets() const { return distributor_.targets(); }
  // What the node tells of itself: the change log, the database as the last pass found it,
  // the held targets, what was passed over, the last error.
  StatusSnapshot Snapshot() const;
  // Told when the status may change level, and once a second besides (on the pass that
  // keeps a second's watch anyway, so a monitor costs no wake-up of its own).
  void SetStatusListener(StatusTracker::Listener listener) {
    status_.SetListener(std::move(listener));
  }
  // Every item in effect and where it stands (also on ~/item_states once start-up is over).
  const ItemStateTable& item_states() const { return states_; }

  // The node's parameter that says what becomes of an item another party changed:
  // "restore" (set back at once, the default), "report" (left, shown as drifted) or "ignore"
  // (not looked at; chosen at start-up only).
  static constexpr char kDriftPolicy[] = "drift_policy";

private:
  // ---- when passes and retries run (pass_schedule.cpp)
  // Starts the timers: the poll every 1 ms until the feed is up, the safety pass once a
  // second; and takes a wake-up the feed may have sent during start-up.
  void StartPasses();
  // The work besides reading the change log: graph changes, restarted targets, parameter
  // calls that matched or ran out of time, targets whose retry is due; then the alarm.
  void Housekeeping(bool graph_changed);
  void OnWake(bool triggered);
  // Arms the one-shot alarm for the earliest of: a re-check after a commit, a held target's
  // retry, a call's deadline, a call waiting for its service. Only while the feed is up: the
  // poll's every-millisecond pass does all of that while it runs.
  void Reschedule();
  // The alarm went off: a pass, or housekeeping alone.
  void OnAlarm();
  // What ended a pass: empty when the log was read, otherwise a text that names the
  // failure, so a repeat can be told.
  std::string CheckChangeLog();
  // The log went back below the position: the tables are distributed again and the log is
  // followed from its new maximum. Empty when done, else why not (tried again next pass).
  std::string Resynchronise();

  // ---- keeping what is in effect (item_states.cpp of the node)
  // How a change ended up: the item states, and what drift is measured against.
  void OnOutcome(const PendingChange& change, Outcome outcome, const std::string& reason);
  // The database's value of `key` goes out again through its target's queue.
  void Restore(const ItemKey& key);
  // Managed files someone touched (the file watch woke the executor).
  void OnFilesTouched();
  // Declares drift_policy and checks later sets of it; the policy it starts with.
  DriftKeeper::Policy DeclareDriftPolicy();
  void StatesChanged();

  std::shared_ptr<rclcpp::Node> node_;
  Options options_;
  DbConnection db_;
  DbItemStore store_;
  DistributionRecord record_;
  FileWriter files_;
  ParamPusher params_;
  StatusTracker status_;
  Distributor distributor_;
  // The position in the change log and its late rows; every change it reads goes to the
  // distributor.
  ChangeLog change_log_;
  std::shared_ptr<WakeSignal> wake_;

  ItemStateTable states_;
  ManagedFiles managed_files_;
  std::shared_ptr<WakeSignal> files_wake_;  // before the watch whose thread triggers it
  std::unique_ptr<FileWatch> file_watch_;
  std::unique_ptr<DriftKeeper> keeper_;
  std::unique_ptr<ParameterEventFollower> param_events_;
  std::unique_ptr<ItemStatePublisher> state_publisher_;  // from the end of start-up
  rclcpp::node_interfaces::OnSetParametersCallbackHandle::SharedPtr policy_check_;

  std::shared_ptr<rclcpp::TimerBase> timer_;         // the poll, every 1 ms, while the feed is down
  std::shared_ptr<rclcpp::TimerBase> safety_timer_;  // a pass once a second
  std::unique_ptr<OneShotTimer> alarm_;              // see Reschedule
  std::chrono::steady_clock::time_point alarm_at_ = std::chrono::steady_clock::time_point::max();
  std::chrono::steady_clock::time_point last_pass_{};
  // The log went back and the tables are still to be distributed again.
  bool resync_due_ = false;
  RepeatThrottle poll_failures_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CONFIG_CENTER_HPP_
