#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include <rcutils/logging.h>
#include <rclcpp/rclcpp.hpp>
#include <stop_signals/stop_signals.hpp>
#include <velgar_protocol/srv/config_operate.hpp>

#include "logging/log_text.hpp"
#include "logging/logging.hpp"
#include "node/config_center.hpp"
#include "node/config_center_handler.hpp"
#include "node/diagnostics_publisher.hpp"
#include "params/services_qos.hpp"
#include "store/db_credentials.hpp"

namespace {

constexpr char kLogDir[] = "/opt/velgar/logs/";
constexpr char kLogFile[] = "config_center/config_center_log_file";
constexpr char kNodeName[] = "config_center";

int Serve(const std::shared_ptr<rclcpp::Node>& node, config_center::ConfigCenter& center,
          stop_signals::StopSignals& stop_signals) {
  using config_center::ConfigCenterHandler;
  using velgar_protocol::srv::ConfigOperate;

  // config_operate is answered on a thread of its own, so that it keeps answering while a
  // pass waits on a slow database. The handler touches nothing the passes use.
  auto service_group =
      node->create_callback_group(rclcpp::CallbackGroupType::MutuallyExclusive, false);
  ConfigCenterHandler handler(node);
  auto service = node->create_service<ConfigOperate>(
      "config_operate",
      std::bind(&ConfigCenterHandler::HandleConfigOperate, &handler, std::placeholders::_1,
                std::placeholders::_2),
      config_center::ServicesQos(), service_group);
  rclcpp::executors::SingleThreadedExecutor service_executor;
  service_executor.add_callback_group(service_group, node->get_node_base_interface());
  std::thread service_thread([&service_executor] {
    try {
      service_executor.spin();
    } catch (const std::exception& error) {
      // A signal during start-up can leave the context invalid before this thread spins.
      // (The log belongs to the main thread.)
      if (rclcpp::ok())
        std::cerr << "config_operate stopped: " << config_center::LogText(error.what())
                  << std::endl;
    }
  });
  // However the main spin ends, the service thread ends with it.
  struct JoinServiceThread {
    rclcpp::Executor& executor;
    std::thread& thread;
    ~JoinServiceThread() {
      executor.cancel();
      thread.join();
    }
  } join_service_thread{service_executor, service_thread};

  rclcpp::spin(node);
  // A signal's shutdown runs to its end before anything is taken down.
  stop_signals.Finish();
  center.Stop();
  rclcpp::shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists: SIGINT and SIGTERM are taken on its thread only.
  stop_signals::StopSignals stop_signals;
  rclcpp::init(argc, argv, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
  // The client library's info records (rmw and executor chatter) are not the node's log.
  rcutils_logging_set_default_logger_level(RCUTILS_LOG_SEVERITY_WARN);
  try {
    auto node = std::make_shared<rclcpp::Node>(kNodeName);
    config_center::InitLogger(std::string(kLogDir) + kLogFile, kNodeName);
    // The node's own account when the robot was set up with one (deploy/setup_robot.sh),
    // else the one fixed in the program. A file that is there but unusable ends start-up:
    // falling back to the public account would hide that the set-up broke.
    config_center::ConfigCenter::Options options;
    std::string account_error;
    if (!config_center::FindNodeAccount(&options.account, &account_error)) {
      LOG_ERROR("Cannot use the database account of this robot: {}", account_error);
      std::cout << "database account: " << config_center::LogText(account_error) << "\n"
                << "config center init failed" << std::endl;
      stop_signals.Finish();
      exit(-1);
    }
    config_center::ConfigCenter center(node, options);
    if (!center.Init()) {
      std::cout << "config center init failed" << std::endl;
      stop_signals.Finish();
      exit(-1);
    }
    config_center::DiagnosticsPublisher diagnostics(*node, [&center] { return center.Snapshot(); });
    center.SetStatusListener([&diagnostics](bool changed) {
      changed ? diagnostics.OnStatusChange() : diagnostics.OnSecond();
    });
    const int status = Serve(node, center, stop_signals);
    center.SetStatusListener(nullptr);
    return status;
  } catch (const std::exception& error) {
    // The node is gone by now, but the logger and the context are not: a signal's shutdown
    // still running ends first.
    stop_signals.Finish();
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
    std::cerr << "config center stopped: " << config_center::LogText(error.what()) << std::endl;
    rclcpp::shutdown();
    return 1;
  }
}
