// The callback types of a node's parameters, as rclcpp's NodeParametersInterface names them.
#ifndef RCLCPP__NODE_INTERFACES__NODE_PARAMETERS_INTERFACE_HPP_
#define RCLCPP__NODE_INTERFACES__NODE_PARAMETERS_INTERFACE_HPP_

#include <functional>
#include <memory>
#include <vector>

#include <rcl_interfaces/msg/set_parameters_result.hpp>

#include "rclcpp/parameter.hpp"

namespace rclcpp {
namespace node_interfaces {

// Keeps an on-set-parameters callback registered for as long as the handle lives.
struct OnSetParametersCallbackHandle {
  using SharedPtr = std::shared_ptr<OnSetParametersCallbackHandle>;
  using WeakPtr = std::weak_ptr<OnSetParametersCallbackHandle>;
  using OnParametersSetCallbackType = std::function<rcl_interfaces::msg::SetParametersResult(
      const std::vector<rclcpp::Parameter>&)>;

  OnParametersSetCallbackType callback;
};

using OnParametersSetCallbackType = OnSetParametersCallbackHandle::OnParametersSetCallbackType;

// Only the type names of rclcpp's interface; a node's parameters live in
// rclcpp::detail::ParameterStore.
class NodeParametersInterface {
public:
  using SharedPtr = std::shared_ptr<NodeParametersInterface>;
  using OnParametersSetCallbackType = OnSetParametersCallbackHandle::OnParametersSetCallbackType;
  using OnSetParametersCallbackType = OnParametersSetCallbackType;

  virtual ~NodeParametersInterface() = default;
};

}  // namespace node_interfaces
}  // namespace rclcpp

#endif  // RCLCPP__NODE_INTERFACES__NODE_PARAMETERS_INTERFACE_HPP_
