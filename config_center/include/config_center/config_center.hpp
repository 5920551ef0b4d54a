#ifndef CONFIG_CENTER_CONFIG_CENTER_HPP_
#define CONFIG_CENTER_CONFIG_CENTER_HPP_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "config_center/config_file_batch.hpp"
#include "config_center/records.hpp"
#include "config_center/repeat_throttle.hpp"
#include "config_center/target_types.hpp"
#include "config_center/target_watch.hpp"

namespace config_center {

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
  bool ParamConfigDistribute(const ConfigData& item);
  // With a batch, the file is staged there and goes into effect with CommitConfigFiles.
  static bool FileConfigDistribute(const ConfigData& item, ConfigFileBatch* batch = nullptr);
  static bool CommitConfigFiles(ConfigFileBatch& batch);
  bool CallSetParameters(std::string service_name,
                         std::shared_ptr<rcl_interfaces::srv::SetParameters::Request> request);

  // Change-log tracking.
  void InitConfigChangeMaxID();
  void PeriodCheckConfig();
  bool DeleteParamConfig(const ConfigTableChangesData& change);
  static void DeleteFileConfig(const ConfigTableChangesData& change);

private:
  ConfigCenter() = default;

  // What ended a polling pass: empty when every new row was handled, otherwise a text that
  // names the failure (which read failed, or which row and why), so a repeat can be told.
  std::string CheckChangeLog();
  bool ApplyChange(const ConfigTableChangesData& change);

  std::shared_ptr<rclcpp::TimerBase> timer_;
  std::shared_ptr<rclcpp::Node> node_;
  int64_t config_change_max_id_ = 0;

  // Parameter calls are served by a private executor through a callback group of their own
  // that the main executor never takes, so the same wait works at start-up and inside the
  // timer callback.
  rclcpp::CallbackGroup::SharedPtr param_call_group_;
  std::shared_ptr<rclcpp::executors::SingleThreadedExecutor> param_call_executor_;
  // One client per target service, kept while it answers in time.
  std::map<std::string, rclcpp::Client<rcl_interfaces::srv::SetParameters>::SharedPtr>
      param_clients_;

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
