#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include <rcutils/logging.h>
#include <rclcpp/rclcpp.hpp>
#include <velgar_protocol/srv/config_operate.hpp>

#include "config_center/config_center.hpp"
#include "config_center/config_center_handler.hpp"
#include "config_center/logging.hpp"

namespace {

constexpr char kLogDir[] = "/opt/velgar/logs/";
constexpr char kLogFile[] = "config_center/config_center_log_file";
constexpr char kNodeName[] = "config_center";

int Serve(const std::shared_ptr<rclcpp::Node>& node) {
  using config_center::ConfigCenterHandler;
  using velgar_protocol::srv::ConfigOperate;

  ConfigCenterHandler handler(node);
  auto service = node->create_service<ConfigOperate>(
      "config_operate", std::bind(&ConfigCenterHandler::HandleConfigOperate, &handler,
                                  std::placeholders::_1, std::placeholders::_2));
  rclcpp::spin(node);
  rclcpp::shutdown();
  // The callback points at the handler, so the service goes first.
  service.reset();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  rclcpp::init(argc, argv, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::All);
  // Humble's signal handler logs "signal_handler(signum=N)" at info level from inside the
  // handler; when the signal lands while the main thread is in malloc, that log deadlocks
  // and SIGTERM never stops the node. With the default level above info, that log is skipped
  // without allocating.
  rcutils_logging_set_default_logger_level(RCUTILS_LOG_SEVERITY_WARN);
  try {
    auto node = std::make_shared<rclcpp::Node>(kNodeName);
    auto& center = config_center::ConfigCenter::GetInstance();
    center.SetNode(node);
    config_center::InitLogger(std::string(kLogDir) + kLogFile, kNodeName);
    if (!center.Init()) {
      std::cout << "config center init failed" << std::endl;
      exit(-1);
    }
    return Serve(node);
  } catch (const std::exception& error) {
    if (!rclcpp::ok()) {
      // SIGINT or SIGTERM came before spinning began: the client library then refuses to
      // make the executor. The stop was asked for, so it is an orderly one.
      LOG_DEBUG("Stopped by a signal during start-up ({})", error.what());
      return 0;
    }
    // The client library raises; the node's own code does not. Leave an orderly trace
    // instead of an abort, with a status that tells it apart from a failed start-up.
    // Standard output carries only the start-up texts; an error beyond them goes to stderr.
    LOG_ERROR("Stopped by a ROS client library error: {}", error.what());
    std::cerr << "config center stopped: " << error.what() << std::endl;
    rclcpp::shutdown();
    return 1;
  }
}
