// A node for the multi-process tests: declares a few parameters, offers "echo"
// (~/echo, GetParameters: answers each name with "<name>@<node fqn>", after an optional delay) and
// spins until SIGINT/SIGTERM.
//   target_node NAME [--delay-ms N] [--ros-args ...]
// Prints "READY <node fqn> <echo service name>" once serving and "EXIT" after spin returns.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);
  const auto args = rclcpp::remove_ros_arguments(argc, argv);
  const std::string name = args.size() > 1 ? args[1] : "target";
  int delay_ms = 0;
  for (size_t i = 2; i + 1 < args.size(); ++i) {
    if (args[i] == "--delay-ms") delay_ms = std::atoi(args[i + 1].c_str());
  }

  auto node = std::make_shared<rclcpp::Node>(name);
  node->declare_parameter("count", 0);
  node->declare_parameter("label", std::string("none"));
  const std::string fqn = node->get_fully_qualified_name();

  using GetParameters = rcl_interfaces::srv::GetParameters;
  auto echo = node->create_service<GetParameters>(
      "~/echo", [&](const std::shared_ptr<GetParameters::Request> request,
                    std::shared_ptr<GetParameters::Response> response) {
        if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        for (const auto& n : request->names) {
          rcl_interfaces::msg::ParameterValue v;
          v.type = rcl_interfaces::msg::ParameterType::PARAMETER_STRING;
          v.string_value = n + "@" + fqn;
          response->values.push_back(v);
        }
      });

  std::printf("READY %s %s\n", fqn.c_str(), echo->get_service_name());
  std::fflush(stdout);
  rclcpp::spin(node);
  rclcpp::shutdown();
  std::printf("EXIT\n");
  std::fflush(stdout);
  return 0;
}
