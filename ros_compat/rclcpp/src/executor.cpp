#include "rclcpp/executor.hpp"

#include <dds/dds.h>

#include <algorithm>

#include "rclcpp/node.hpp"

namespace rclcpp {

namespace {
// Attach arguments: low two bits the kind, the rest an index into the entity cache.
enum Kind : uint32_t { kInterrupt = 0, kGuard = 1, kService = 2, kClient = 3 };
// Ready work found by one wait; timers are kept apart from waitset results.
enum ReadyKind : uint32_t { kReadyTimer = 0, kReadyService = 1, kReadyClient = 2 };
constexpr dds_attach_t encode(uint32_t kind, size_t index) {
  return static_cast<dds_attach_t>((index << 2) | kind);
}
uint32_t encode_ready(uint32_t kind, size_t index) {
  return static_cast<uint32_t>((index << 2) | kind);
}

int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

struct Executor::Impl {
  struct GroupEntry {
    rclcpp::CallbackGroup::WeakPtr group;
    rclcpp::node_interfaces::NodeBaseInterface::WeakPtr node;
    bool from_node;
  };

  std::mutex mutex;  // nodes and groups
  std::vector<rclcpp::node_interfaces::NodeBaseInterface::WeakPtr> nodes;
  std::vector<GroupEntry> groups;
  std::atomic<bool> membership_changed{true};

  dds_entity_t waitset = 0;
  dds_entity_t guard = 0;
  dds_entity_t interrupt_guard = 0;

  // What the waitset was built from; rebuilt when entities or membership change.
  uint64_t seen_generation = 0;
  std::vector<std::weak_ptr<ServiceBase>> services;
  std::vector<std::weak_ptr<ClientBase>> clients;
  std::vector<std::weak_ptr<TimerBase>> timers;
  std::vector<dds_entity_t> attached;
  std::vector<dds_attach_t> triggered;
  std::vector<uint32_t> ready;
  size_t ready_next = 0;

  // Claims the automatically added groups of the held nodes (new ones included).
  void claim_node_groups() {
    groups.erase(std::remove_if(groups.begin(), groups.end(),
                                [](const GroupEntry& e) { return e.group.expired(); }),
                 groups.end());
    for (const auto& weak_node : nodes) {
      auto node = weak_node.lock();
      if (!node) continue;
      node->for_each_callback_group([&](const rclcpp::CallbackGroup::SharedPtr& group) {
        if (!group->automatically_add_to_executor_with_node()) return;
        if (group->get_associated_with_executor_atomic().exchange(true)) return;
        groups.push_back(GroupEntry{group, node, true});
      });
    }
  }

  void refresh() {
    const uint64_t generation = detail::entities_generation();
    if (generation == seen_generation && !membership_changed.load()) return;
    seen_generation = generation;
    membership_changed.store(false);
    services.clear();
    clients.clear();
    timers.clear();
    {
      std::lock_guard<std::mutex> lock(mutex);
      claim_node_groups();
      for (const auto& entry : groups) {
        if (auto group = entry.group.lock()) group->collect(services, clients, timers);
      }
    }
    for (dds_entity_t e : attached) dds_waitset_detach(waitset, e);
    attached.clear();
    for (size_t i = 0; i < services.size(); ++i) {
      if (auto s = services[i].lock()) {
        if (dds_waitset_attach(waitset, s->read_condition(), encode(kService, i)) == 0) {
          attached.push_back(s->read_condition());
        }
      }
    }
    for (size_t i = 0; i < clients.size(); ++i) {
      if (auto c = clients[i].lock()) {
        if (dds_waitset_attach(waitset, c->read_condition(), encode(kClient, i)) == 0) {
          attached.push_back(c->read_condition());
        }
      }
    }
    triggered.resize(attached.size() + 2);
    ready.clear();
    ready_next = 0;
  }

  // Nanoseconds until the nearest timer is due (0 when one is overdue), or -1 for none.
  int64_t nearest_timer_ns() const {
    int64_t nearest = -1;
    const int64_t now = steady_now_ns();
    for (const auto& weak : timers) {
      auto timer = weak.lock();
      if (!timer || timer->is_canceled()) continue;
      const int64_t left = std::max<int64_t>(0, timer->next_call_ns() - now);
      if (nearest < 0 || left < nearest) nearest = left;
    }
    return nearest;
  }

  // One wait; fills `ready` with due timers, then requests, then replies. False when the
  // context was shut down.
  bool wait(int64_t timeout_ns) {
    const int64_t timer_ns = nearest_timer_ns();
    if (timer_ns >= 0 && (timeout_ns < 0 || timer_ns < timeout_ns)) timeout_ns = timer_ns;
    const dds_duration_t timeout = timeout_ns < 0 ? DDS_INFINITY : timeout_ns;
    const dds_return_t n = dds_waitset_wait(waitset, triggered.data(), triggered.size(), timeout);
    ready.clear();
    ready_next = 0;
    bool interrupted = false;
    const int64_t now = steady_now_ns();
    for (size_t i = 0; i < timers.size(); ++i) {
      auto timer = timers[i].lock();
      if (timer && !timer->is_canceled() && timer->next_call_ns() <= now) {
        ready.push_back(encode_ready(kReadyTimer, i));
      }
    }
    for (dds_return_t i = 0; i < std::min<dds_return_t>(n, triggered.size()); ++i) {
      const auto arg = static_cast<uint64_t>(triggered[i]);
      const uint32_t kind = arg & 3u;
      const size_t index = static_cast<size_t>(arg >> 2);
      if (kind == kInterrupt) {
        interrupted = true;
      } else if (kind == kGuard) {
        dds_set_guardcondition(guard, false);
      } else if (kind == kService) {
        ready.push_back(encode_ready(kReadyService, index));
      } else {
        ready.push_back(encode_ready(kReadyClient, index));
      }
    }
    return !interrupted;
  }

  // Runs the next ready item of the last wait; false when none is left.
  bool run_next() {
    while (ready_next < ready.size()) {
      const uint32_t item = ready[ready_next++];
      const uint32_t kind = item & 3u;
      const size_t index = item >> 2;
      if (kind == kReadyTimer) {
        if (index >= timers.size()) continue;
        auto timer = timers[index].lock();
        if (timer && timer->call()) {
          timer->execute_callback();
          return true;
        }
      } else if (kind == kReadyService) {
        if (index >= services.size()) continue;
        auto service = services[index].lock();
        if (service && service->take_and_handle()) return true;
      } else {
        if (index >= clients.size()) continue;
        auto client = clients[index].lock();
        if (client && client->take_and_handle()) return true;
      }
    }
    return false;
  }
};

Executor::Executor(const rclcpp::ExecutorOptions& options)
    : context_(options.context), impl_(std::make_unique<Impl>()) {
  const dds_entity_t participant = context_->dds_participant();
  impl_->interrupt_guard = context_->interrupt_guard_condition();
  impl_->waitset = dds_create_waitset(participant);
  impl_->guard = dds_create_guardcondition(participant);
  if (impl_->waitset < 0 || impl_->guard < 0) {
    throw std::runtime_error("failed to create executor wait set");
  }
  dds_waitset_attach(impl_->waitset, impl_->interrupt_guard, encode(kInterrupt, 0));
  dds_waitset_attach(impl_->waitset, impl_->guard, encode(kGuard, 0));
  impl_->triggered.resize(2);
  detail::register_executor_guard(impl_->guard);
}

Executor::~Executor() {
  detail::unregister_executor_guard(impl_->guard);
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& entry : impl_->groups) {
      if (auto group = entry.group.lock())
        group->get_associated_with_executor_atomic().store(false);
    }
    for (auto& weak : impl_->nodes) {
      if (auto node = weak.lock()) node->get_associated_with_executor_atomic().store(false);
    }
  }
  dds_delete(impl_->waitset);
  dds_delete(impl_->guard);
}

void Executor::add_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr,
                                  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                                  bool notify) {
  if (group_ptr->get_associated_with_executor_atomic().exchange(true)) {
    throw std::runtime_error("Callback group has already been added to an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->groups.push_back(Impl::GroupEntry{group_ptr, node_ptr, false});
  }
  impl_->membership_changed.store(true);
  if (notify) dds_set_guardcondition(impl_->guard, true);
}

void Executor::remove_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr, bool notify) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = std::find_if(impl_->groups.begin(), impl_->groups.end(),
                           [&](const Impl::GroupEntry& e) { return e.group.lock() == group_ptr; });
    if (it == impl_->groups.end()) {
      throw std::runtime_error("Callback group needs to be associated with executor.");
    }
    impl_->groups.erase(it);
  }
  group_ptr->get_associated_with_executor_atomic().store(false);
  impl_->membership_changed.store(true);
  if (notify) dds_set_guardcondition(impl_->guard, true);
}

std::vector<rclcpp::CallbackGroup::WeakPtr> Executor::get_all_callback_groups() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->claim_node_groups();
  std::vector<rclcpp::CallbackGroup::WeakPtr> out;
  for (const auto& e : impl_->groups) out.push_back(e.group);
  return out;
}

std::vector<rclcpp::CallbackGroup::WeakPtr> Executor::get_manually_added_callback_groups() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<rclcpp::CallbackGroup::WeakPtr> out;
  for (const auto& e : impl_->groups) {
    if (!e.from_node) out.push_back(e.group);
  }
  return out;
}

std::vector<rclcpp::CallbackGroup::WeakPtr>
Executor::get_automatically_added_callback_groups_from_nodes() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->claim_node_groups();
  std::vector<rclcpp::CallbackGroup::WeakPtr> out;
  for (const auto& e : impl_->groups) {
    if (e.from_node) out.push_back(e.group);
  }
  return out;
}

void Executor::add_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                        bool notify) {
  std::atomic_bool& has_executor = node_ptr->get_associated_with_executor_atomic();
  if (has_executor.exchange(true)) {
    throw std::runtime_error(std::string("Node '") + node_ptr->get_fully_qualified_name() +
                             "' has already been added to an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->nodes.push_back(node_ptr);
    impl_->claim_node_groups();
  }
  impl_->membership_changed.store(true);
  if (notify) dds_set_guardcondition(impl_->guard, true);
}

void Executor::add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify) {
  add_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::remove_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                           bool notify) {
  if (!node_ptr->get_associated_with_executor_atomic().load()) {
    throw std::runtime_error("Node needs to be associated with an executor.");
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    auto it = std::find_if(impl_->nodes.begin(), impl_->nodes.end(),
                           [&](const auto& w) { return w.lock() == node_ptr; });
    if (it == impl_->nodes.end()) {
      throw std::runtime_error("Node needs to be associated with this executor.");
    }
    impl_->nodes.erase(it);
    for (auto g = impl_->groups.begin(); g != impl_->groups.end();) {
      if (g->from_node && g->node.lock() == node_ptr) {
        if (auto group = g->group.lock()) {
          group->get_associated_with_executor_atomic().store(false);
        }
        g = impl_->groups.erase(g);
      } else {
        ++g;
      }
    }
  }
  node_ptr->get_associated_with_executor_atomic().store(false);
  impl_->membership_changed.store(true);
  if (notify) dds_set_guardcondition(impl_->guard, true);
}

void Executor::remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify) {
  remove_node(node_ptr->get_node_base_interface(), notify);
}

void Executor::spin_node_once_nanoseconds(
    rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node, std::chrono::nanoseconds timeout) {
  add_node(node, false);
  try {
    spin_once(timeout);
  } catch (...) {
    remove_node(node, false);
    throw;
  }
  remove_node(node, false);
}

void Executor::spin_node_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node) {
  add_node(node, false);
  try {
    spin_some();
  } catch (...) {
    remove_node(node, false);
    throw;
  }
  remove_node(node, false);
}

void Executor::spin_node_some(std::shared_ptr<rclcpp::Node> node) {
  spin_node_some(node->get_node_base_interface());
}

void Executor::spin_once_impl(std::chrono::nanoseconds timeout) {
  impl_->refresh();
  if (impl_->run_next()) return;
  if (!rclcpp::ok(context_)) return;
  if (!impl_->wait(timeout.count())) return;
  impl_->refresh();  // a wake-up may have been about new entities
  impl_->run_next();
}

bool Executor::run_ready_once(std::chrono::steady_clock::time_point deadline, bool limited) {
  impl_->refresh();
  if (!impl_->wait(0)) return false;
  impl_->refresh();
  bool any = false;
  while (rclcpp::ok(context_) && spinning.load()) {
    if (limited && std::chrono::steady_clock::now() >= deadline) break;
    if (!impl_->run_next()) break;
    any = true;
  }
  return any;
}

void Executor::spin_some(std::chrono::nanoseconds max_duration) {
  if (spinning.exchange(true))
    throw std::runtime_error("spin_some() called while already spinning");
  SpinningReset reset{spinning};
  const bool limited = max_duration > std::chrono::nanoseconds::zero();
  run_ready_once(std::chrono::steady_clock::now() + max_duration, limited);
}

void Executor::spin_all(std::chrono::nanoseconds max_duration) {
  if (max_duration < std::chrono::nanoseconds::zero()) {
    throw std::invalid_argument("max_duration must be greater than or equal to 0");
  }
  if (spinning.exchange(true)) throw std::runtime_error("spin_all() called while already spinning");
  SpinningReset reset{spinning};
  const bool limited = max_duration > std::chrono::nanoseconds::zero();
  const auto deadline = std::chrono::steady_clock::now() + max_duration;
  while (rclcpp::ok(context_) && spinning.load() && run_ready_once(deadline, limited)) {
    if (limited && std::chrono::steady_clock::now() >= deadline) break;
  }
}

void Executor::spin_once(std::chrono::nanoseconds timeout) {
  if (spinning.exchange(true))
    throw std::runtime_error("spin_once() called while already spinning");
  SpinningReset reset{spinning};
  spin_once_impl(timeout);
}

void Executor::cancel() {
  spinning.store(false);
  dds_set_guardcondition(impl_->guard, true);
}

}  // namespace rclcpp
