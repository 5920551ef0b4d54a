#include "node/config_center_handler.hpp"

#include <utility>

namespace config_center {

ConfigCenterHandler::ConfigCenterHandler(std::shared_ptr<rclcpp::Node> node)
    : node_(std::move(node)) {}

// The shared pointers are taken by value: that is the form the service callback is bound in.
// NOLINTBEGIN(performance-unnecessary-value-param)
bool ConfigCenterHandler::HandleConfigOperate(
    std::shared_ptr<velgar_protocol::srv::ConfigOperate::Request> /*request*/,
    std::shared_ptr<velgar_protocol::srv::ConfigOperate::Response> response) {
  response->success = true;
  return true;
}
// NOLINTEND(performance-unnecessary-value-param)

}  // namespace config_center
