#include "rclcpp/callback_group.hpp"

#include <dds/dds.h>

#include <algorithm>

namespace rclcpp {

namespace {
template <typename T>
void add_pruned(std::vector<std::weak_ptr<T>>& list, const std::shared_ptr<T>& item) {
  list.erase(std::remove_if(list.begin(), list.end(), [](const auto& w) { return w.expired(); }),
             list.end());
  list.push_back(item);
}

std::atomic<uint64_t> g_generation{1};
std::mutex g_guards_mutex;
std::vector<int32_t> g_guards;
}  // namespace

CallbackGroup::CallbackGroup(CallbackGroupType group_type,
                             bool automatically_add_to_executor_with_node)
    : type_(group_type), auto_add_(automatically_add_to_executor_with_node) {}

CallbackGroup::~CallbackGroup() = default;

size_t CallbackGroup::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return services_.size() + clients_.size() + timers_.size();
}

void CallbackGroup::add_service(const std::shared_ptr<ServiceBase>& service) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    add_pruned(services_, service);
  }
  detail::notify_entities_changed(true);
}

void CallbackGroup::add_client(const std::shared_ptr<ClientBase>& client) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    add_pruned(clients_, client);
  }
  detail::notify_entities_changed(true);
}

void CallbackGroup::add_timer(const std::shared_ptr<TimerBase>& timer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    add_pruned(timers_, timer);
  }
  detail::notify_entities_changed(true);
}

void CallbackGroup::collect(std::vector<std::weak_ptr<ServiceBase>>& services,
                            std::vector<std::weak_ptr<ClientBase>>& clients,
                            std::vector<std::weak_ptr<TimerBase>>& timers) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& s : services_) {
    if (!s.expired()) services.push_back(s);
  }
  for (const auto& c : clients_) {
    if (!c.expired()) clients.push_back(c);
  }
  for (const auto& t : timers_) {
    if (!t.expired()) timers.push_back(t);
  }
}

namespace detail {
uint64_t entities_generation() { return g_generation.load(std::memory_order_acquire); }

void notify_entities_changed(bool wake) {
  g_generation.fetch_add(1, std::memory_order_acq_rel);
  if (!wake) return;
  std::lock_guard<std::mutex> lock(g_guards_mutex);
  for (int32_t guard : g_guards) dds_set_guardcondition(guard, true);
}

void register_executor_guard(int32_t guard_condition) {
  std::lock_guard<std::mutex> lock(g_guards_mutex);
  g_guards.push_back(guard_condition);
}

void unregister_executor_guard(int32_t guard_condition) {
  std::lock_guard<std::mutex> lock(g_guards_mutex);
  g_guards.erase(std::remove(g_guards.begin(), g_guards.end(), guard_condition), g_guards.end());
}
}  // namespace detail

}  // namespace rclcpp
