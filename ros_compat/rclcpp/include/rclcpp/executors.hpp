#ifndef RCLCPP__EXECUTORS_HPP_
#define RCLCPP__EXECUTORS_HPP_

#include <chrono>
#include <memory>

#include "rclcpp/executor.hpp"
#include "rclcpp/executors/single_threaded_executor.hpp"
#include "rclcpp/node.hpp"
#include "rclcpp/utilities.hpp"

namespace rclcpp {

/// Runs what is ready now on the node, in a temporary single-threaded executor.
void spin_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr);
void spin_some(rclcpp::Node::SharedPtr node_ptr);

/// Runs the node in a single-threaded executor until the context is shut down.
void spin(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr);
void spin(rclcpp::Node::SharedPtr node_ptr);

/// Runs the node in a temporary single-threaded executor until the future is ready, the
/// timeout passes, or the context is shut down. Throws std::runtime_error when the node
/// already belongs to an executor.
template <typename FutureT, typename TimeRepT = int64_t, typename TimeT = std::milli>
rclcpp::FutureReturnCode spin_until_future_complete(
    rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr, const FutureT& future,
    std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1)) {
  rclcpp::executors::SingleThreadedExecutor executor;
  return executors::spin_node_until_future_complete<FutureT>(executor, node_ptr, future, timeout);
}

template <typename NodeT = rclcpp::Node, typename FutureT, typename TimeRepT = int64_t,
          typename TimeT = std::milli>
rclcpp::FutureReturnCode spin_until_future_complete(
    std::shared_ptr<NodeT> node_ptr, const FutureT& future,
    std::chrono::duration<TimeRepT, TimeT> timeout = std::chrono::duration<TimeRepT, TimeT>(-1)) {
  return rclcpp::spin_until_future_complete(node_ptr->get_node_base_interface(), future, timeout);
}

}  // namespace rclcpp

#endif  // RCLCPP__EXECUTORS_HPP_
