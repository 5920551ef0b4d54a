#include "rclcpp/executors/single_threaded_executor.hpp"

#include "rclcpp/executors.hpp"

namespace rclcpp {
namespace executors {

SingleThreadedExecutor::SingleThreadedExecutor(const rclcpp::ExecutorOptions& options)
    : rclcpp::Executor(options) {}

SingleThreadedExecutor::~SingleThreadedExecutor() = default;

void SingleThreadedExecutor::spin() {
  if (spinning.exchange(true)) throw std::runtime_error("spin() called while already spinning");
  SpinningReset reset{spinning};
  while (rclcpp::ok(this->context_) && spinning.load()) {
    spin_once_impl(std::chrono::nanoseconds(-1));
  }
}

}  // namespace executors

void spin_some(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr) {
  rclcpp::executors::SingleThreadedExecutor exec;
  exec.spin_node_some(node_ptr);
}

void spin_some(rclcpp::Node::SharedPtr node_ptr) {
  rclcpp::spin_some(node_ptr->get_node_base_interface());
}

void spin(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr node_ptr) {
  rclcpp::executors::SingleThreadedExecutor exec;
  exec.add_node(node_ptr);
  exec.spin();
  exec.remove_node(node_ptr);
}

void spin(rclcpp::Node::SharedPtr node_ptr) { rclcpp::spin(node_ptr->get_node_base_interface()); }

}  // namespace rclcpp
