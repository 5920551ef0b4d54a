#ifndef CONFIG_CENTER_CONFIG_CENTER_HANDLER_HPP_
#define CONFIG_CENTER_CONFIG_CENTER_HANDLER_HPP_

#include <memory>

#include <rclcpp/rclcpp.hpp>
#include <velgar_protocol/srv/config_operate.hpp>

namespace config_center {

// Serves config_operate: an acknowledgement point for operators and tools. Changes reach
// the node through the change log only, so a request changes nothing.
class ConfigCenterHandler {
public:
  explicit ConfigCenterHandler(std::shared_ptr<rclcpp::Node> node);

  bool HandleConfigOperate(std::shared_ptr<velgar_protocol::srv::ConfigOperate::Request> request,
                           std::shared_ptr<velgar_protocol::srv::ConfigOperate::Response> response);

private:
  std::shared_ptr<rclcpp::Node> node_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CONFIG_CENTER_HANDLER_HPP_
