#ifndef RCLCPP__EXECUTOR_HPP_
#define RCLCPP__EXECUTOR_HPP_

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "rclcpp/callback_group.hpp"
#include "rclcpp/client.hpp"
#include "rclcpp/context.hpp"
#include "rclcpp/executor_options.hpp"
#include "rclcpp/future_return_code.hpp"
#include "rclcpp/macros.hpp"
#include "rclcpp/node_interfaces/node_base_interface.hpp"
#include "rclcpp/service.hpp"
#include "rclcpp/timer.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp {

class Node;

/// Runs the callbacks of the callback groups it holds: those of its nodes that are added
/// automatically, and those given to it with add_callback_group. It waits on a DDS waitset
/// (request/reply readers, its guard condition, the context's shutdown guard) with the
/// nearest timer deadline as timeout.
class Executor {
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(Executor)

  explicit Executor(const rclcpp::ExecutorOptions& options = rclcpp::ExecutorOptions());
  virtual ~Executor();

  virtual void spin() = 0;

  /// Throws std::runtime_error when the group already belongs to an executor.
  virtual void add_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr,
                                  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                                  bool notify = true);
  virtual void remove_callback_group(rclcpp::CallbackGroup::SharedPtr group_ptr,
                                     bool notify = true);
  virtual std::vector<rclcpp::CallbackGroup::WeakPtr> get_all_callback_groups();
  virtual std::vector<rclcpp::CallbackGroup::WeakPtr> get_manually_added_callback_groups();
  virtual std::vector<rclcpp::CallbackGroup::WeakPtr>
  get_automatically_added_callback_groups_from_nodes();

  /// Throws std::runtime_error when the node already belongs to an executor.
  virtual void add_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                        bool notify = true);
  virtual void add_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);
  virtual void remove_node(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
                           bool notify = true);
  virtual void remove_node(std::shared_ptr<rclcpp::Node> node_ptr, bool notify = true);

  template <typename RepT = int64_t, typename T = std::milli>
  void spin_node_once(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node,
                      std::chrono::duration<RepT, T> timeout = std::chrono::duration<RepT, T>(-1)) {
    spin_node_once_nanoseconds(node, std::chrono::duration_cast<std::chrono::nanoseconds>(timeout));
  }
  template <typename NodeT = rclcpp::Node, typename RepT = int64_t, typename T = std::milli>
  void spin_node_once(std::shared_ptr<NodeT> node,
                      std::chrono::duration<RepT, T> timeout = std::chrono::duration<RepT, T>(-1)) {
    spin_node_once_nanoseconds(node->get_node_base_interface(),
                               std::chrono::duration_cast<std::chrono::nanoseconds>(timeout));
  }
  void spin_node_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node);
  void spin_node_some(std::shared_ptr<rclcpp::Node> node);

  /// Runs what is ready now (waiting for nothing), at most for max_duration (0: no limit).
  virtual void spin_some(std::chrono::nanoseconds max_duration = std::chrono::nanoseconds(0));
  virtual void spin_all(std::chrono::nanoseconds max_duration);
  /// Waits up to `timeout` (negative: forever) for work and runs at most one callback.
  virtual void spin_once(std::chrono::nanoseconds timeout = std::chrono::nanoseconds(-1));

  template <typename FutureT, typename TimeRepT = int64_t, typename TimeT = std::milli>
  FutureReturnCode spin_until_future_complete(
      const FutureT& future,
      std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1)) {
    std::future_status status = future.wait_for(std::chrono::seconds(0));
    if (status == std::future_status::ready) return FutureReturnCode::SUCCESS;

    auto end_time = std::chrono::steady_clock::now();
    std::chrono::nanoseconds timeout_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
    if (timeout_ns > std::chrono::nanoseconds::zero()) end_time += timeout_ns;
    std::chrono::nanoseconds timeout_left = timeout_ns;

    if (spinning.exchange(true)) {
      throw std::runtime_error("spin_until_future_complete() called while already spinning");
    }
    SpinningReset reset{spinning};
    while (rclcpp::ok(this->context_) && spinning.load()) {
      spin_once_impl(timeout_left);
      status = future.wait_for(std::chrono::seconds(0));
      if (status == std::future_status::ready) return FutureReturnCode::SUCCESS;
      if (timeout_ns < std::chrono::nanoseconds::zero()) continue;
      auto now = std::chrono::steady_clock::now();
      if (now >= end_time) return FutureReturnCode::TIMEOUT;
      timeout_left = std::chrono::duration_cast<std::chrono::nanoseconds>(end_time - now);
    }
    return FutureReturnCode::INTERRUPTED;
  }

  /// Makes spin() return; wakes a waiting executor.
  void cancel();
  bool is_spinning() { return spinning.load(); }

protected:
  struct SpinningReset {
    std::atomic_bool& flag;
    ~SpinningReset() { flag.store(false); }
  };

  void spin_node_once_nanoseconds(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node,
                                  std::chrono::nanoseconds timeout);
  /// Waits up to `timeout` for work, then runs one ready callback.
  void spin_once_impl(std::chrono::nanoseconds timeout);
  /// Runs every callback ready now, once; false when none was.
  bool run_ready_once(std::chrono::steady_clock::time_point deadline, bool limited);

  std::atomic_bool spinning{false};
  rclcpp::Context::SharedPtr context_;

private:
  RCLCPP_DISABLE_COPY(Executor)
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

namespace executors {
/// spin_until_future_complete on `executor` with `node_ptr` added for the duration.
template <typename FutureT, typename TimeRepT = int64_t, typename TimeT = std::milli>
rclcpp::FutureReturnCode spin_node_until_future_complete(
    rclcpp::Executor& executor, rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr,
    const FutureT& future,
    std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1)) {
  executor.add_node(node_ptr);
  auto retcode = executor.spin_until_future_complete(future, timeout);
  executor.remove_node(node_ptr);
  return retcode;
}

template <typename NodeT = rclcpp::Node, typename FutureT, typename TimeRepT = int64_t,
          typename TimeT = std::milli>
rclcpp::FutureReturnCode spin_node_until_future_complete(
    rclcpp::Executor& executor, std::shared_ptr<NodeT> node_ptr, const FutureT& future,
    std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1)) {
  return rclcpp::executors::spin_node_until_future_complete(
      executor, node_ptr->get_node_base_interface(), future, timeout);
}
}  // namespace executors

}  // namespace rclcpp

#endif  // RCLCPP__EXECUTOR_HPP_
