#ifndef RCLCPP__CONTEXT_HPP_
#define RCLCPP__CONTEXT_HPP_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rclcpp/init_options.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp {

namespace detail {
/// One `--ros-args` remapping rule (`[node:]from:=to`).
struct RemapRule {
  enum class Kind { NodeName, Namespace, Name };
  Kind kind = Kind::Name;
  std::string node_prefix;  // empty: applies to every node
  std::string from;
  std::string to;
};

/// What the command line (or NodeOptions::arguments) asked for.
struct RosArguments {
  std::vector<RemapRule> remap_rules;
  std::vector<std::pair<std::string, std::string>> parameter_overrides;  // name, YAML-ish text
};

/// Parses argv-style arguments; only the parts inside `--ros-args ... [--]` are read.
RosArguments parse_ros_arguments(const std::vector<std::string>& arguments);
}  // namespace detail

/// Thrown by Context::init when it is already initialized.
class ContextAlreadyInitialized : public std::runtime_error {
public:
  ContextAlreadyInitialized() : std::runtime_error("context is already initialized") {}
};

/// The ROS state of a process: command line, domain, and the DDS participant of its nodes.
class Context : public std::enable_shared_from_this<Context> {
public:
  RCLCPP_SMART_PTR_DEFINITIONS(Context)

  using OnShutdownCallback = std::function<void()>;

  Context();
  virtual ~Context();

  virtual void init(int argc, char const* const* argv,
                    const rclcpp::InitOptions& init_options = rclcpp::InitOptions());
  bool is_valid() const;
  const rclcpp::InitOptions& get_init_options() const;
  rclcpp::InitOptions get_init_options();
  size_t get_domain_id() const;
  std::string shutdown_reason() const;
  /// Invalidates the context and wakes every wait on it; false when it was not valid.
  virtual bool shutdown(const std::string& reason);
  OnShutdownCallback on_shutdown(OnShutdownCallback callback);
  std::vector<OnShutdownCallback> get_on_shutdown_callbacks() const;
  /// Sleeps for nanoseconds; returns false when interrupted by shutdown.
  bool sleep_for(const std::chrono::nanoseconds& nanoseconds);
  void interrupt_all_sleep_for();

  // Used inside this library.
  /// The context's DDS participant, created on first use.
  int32_t dds_participant();
  /// Guard condition that is triggered while the context is shut down.
  int32_t interrupt_guard_condition();
  const detail::RosArguments& global_arguments() const { return arguments_; }

private:
  mutable std::mutex mutex_;
  bool valid_ = false;
  rclcpp::InitOptions init_options_;
  std::string shutdown_reason_;
  std::vector<OnShutdownCallback> on_shutdown_callbacks_;
  detail::RosArguments arguments_;
  int32_t participant_ = 0;
  int32_t interrupt_guard_ = 0;
  std::condition_variable sleep_cv_;
  uint64_t sleep_interrupts_ = 0;
};

/// Every context that has been initialized and not yet destroyed.
std::vector<Context::SharedPtr> get_contexts();

namespace contexts {
using rclcpp::Context;
/// The process-wide context used when none is given.
Context::SharedPtr get_global_default_context();
using DefaultContext = rclcpp::Context;
}  // namespace contexts

}  // namespace rclcpp

#endif  // RCLCPP__CONTEXT_HPP_
