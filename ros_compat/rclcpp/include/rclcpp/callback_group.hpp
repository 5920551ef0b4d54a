#ifndef RCLCPP__CALLBACK_GROUP_HPP_
#define RCLCPP__CALLBACK_GROUP_HPP_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "rclcpp/macros.hpp"

namespace rclcpp {

class ServiceBase;
class ClientBase;
class TimerBase;

enum class CallbackGroupType { MutuallyExclusive, Reentrant };

/// A set of timers, services and clients that one executor at a time serves.
class CallbackGroup {
public:
  RCLCPP_SMART_PTR_DEFINITIONS(CallbackGroup)

  explicit CallbackGroup(CallbackGroupType group_type,
                         bool automatically_add_to_executor_with_node = true);
  ~CallbackGroup();

  CallbackGroupType type() const { return type_; }
  /// Whether an executor that is given the node also serves this group.
  bool automatically_add_to_executor_with_node() const { return auto_add_; }
  /// True while an executor holds the group.
  std::atomic_bool& get_associated_with_executor_atomic() { return associated_with_executor_; }
  std::atomic_bool& can_be_taken_from() { return can_be_taken_from_; }
  size_t size() const;

  // Used inside this library.
  void add_service(const std::shared_ptr<ServiceBase>& service);
  void add_client(const std::shared_ptr<ClientBase>& client);
  void add_timer(const std::shared_ptr<TimerBase>& timer);
  /// Appends the live members to the given lists.
  void collect(std::vector<std::weak_ptr<ServiceBase>>& services,
               std::vector<std::weak_ptr<ClientBase>>& clients,
               std::vector<std::weak_ptr<TimerBase>>& timers) const;

private:
  RCLCPP_DISABLE_COPY(CallbackGroup)

  CallbackGroupType type_;
  bool auto_add_;
  std::atomic_bool associated_with_executor_{false};
  std::atomic_bool can_be_taken_from_{true};
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<ServiceBase>> services_;
  std::vector<std::weak_ptr<ClientBase>> clients_;
  std::vector<std::weak_ptr<TimerBase>> timers_;
};

namespace detail {
/// Changes whenever an entity joins or leaves a group, so executors know to look again.
uint64_t entities_generation();
/// Bumps the generation; with `wake`, also wakes every waiting executor.
void notify_entities_changed(bool wake);
/// Guard conditions of live executors, triggered by notify_entities_changed(true).
void register_executor_guard(int32_t guard_condition);
void unregister_executor_guard(int32_t guard_condition);
}  // namespace detail

}  // namespace rclcpp

#endif  // RCLCPP__CALLBACK_GROUP_HPP_
