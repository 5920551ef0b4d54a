// Sends one request to a service nobody offers and waits for it with
// rclcpp::spin_until_future_complete (30 s), to see a signal end the wait.
// Prints "WAITING" before the wait and "RESULT <code> <elapsed ms>" after it.
#include <chrono>
#include <cstdio>

#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);
  auto node = std::make_shared<rclcpp::Node>("waiting_client");
  auto client = node->create_client<rcl_interfaces::srv::SetParameters>("/nobody/set_parameters");
  auto future =
      client->async_send_request(std::make_shared<rcl_interfaces::srv::SetParameters::Request>());
  std::printf("WAITING\n");
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const auto code = rclcpp::spin_until_future_complete(node, future, std::chrono::seconds(30));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  const char* name = code == rclcpp::FutureReturnCode::SUCCESS       ? "SUCCESS"
                     : code == rclcpp::FutureReturnCode::INTERRUPTED ? "INTERRUPTED"
                                                                     : "TIMEOUT";
  std::printf("RESULT %s %lld\n", name, static_cast<long long>(ms));
  std::fflush(stdout);
  rclcpp::shutdown();
  return 0;
}
