#ifndef RCLCPP__EXECUTORS__SINGLE_THREADED_EXECUTOR_HPP_
#define RCLCPP__EXECUTORS__SINGLE_THREADED_EXECUTOR_HPP_

#include "rclcpp/executor.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp {
namespace executors {

/// Runs every callback on the thread that calls spin(), one at a time.
class SingleThreadedExecutor : public rclcpp::Executor {
public:
  RCLCPP_SMART_PTR_DEFINITIONS(SingleThreadedExecutor)

  explicit SingleThreadedExecutor(
      const rclcpp::ExecutorOptions& options = rclcpp::ExecutorOptions());
  ~SingleThreadedExecutor() override;

  /// Runs callbacks until the context is shut down or cancel() is called.
  void spin() override;

private:
  RCLCPP_DISABLE_COPY(SingleThreadedExecutor)
};

}  // namespace executors
}  // namespace rclcpp

#endif  // RCLCPP__EXECUTORS__SINGLE_THREADED_EXECUTOR_HPP_
