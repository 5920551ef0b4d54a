// config_probe: checks of the running system for scripts. A person types the ros2 CLI
// (`ros2 service call /config_operate ...`, `ros2 param get/set/delete`); what the CLI
// cannot do is bound the whole wait and say the outcome in the exit status: `ros2 service
// call` waits for a missing service forever and exits 0 whatever the answer, `ros2 param
// get` reads one parameter per call and prints strings without escapes.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rclcpp/rclcpp.hpp>
#include <velgar_protocol/srv/config_operate.hpp>

#include "tool_args.hpp"
#include "value_text.hpp"

namespace {

namespace tools = config_center::tools;

constexpr char kUsage[] =
    "usage: config_probe COMMAND [--timeout S] [--ros-args ...]\n"
    "\n"
    "  operate                  call /config_operate; prints \"config_operate: success=...\"\n"
    "  get NODE PARAM...        call /NODE/get_parameters; prints \"PARAM type=T value=V\" each\n"
    "                           (strings quoted, with \\\" \\\\ \\n \\xNN escapes)\n"
    "\n"
    "NODE is the node's name, with its namespace path in front if it has one (\"ns/node\").\n"
    "--timeout S bounds the wait for the service and for the answer together (default 2).\n"
    "Exit status: 0 answered positively; 1 the service is missing or did not answer in time;\n"
    "2 usage error; 3 answered negatively (success=false, or a parameter the node does not\n"
    "declare).\n"
    "To set or delete a parameter use the ros2 CLI: ros2 param set NODE PARAM VALUE (VALUE\n"
    "is read as YAML; quote a string: \"'5'\"), ros2 param delete NODE PARAM.\n";

constexpr int kUnavailable = 1;
constexpr int kUsageError = 2;
constexpr int kNegative = 3;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "config_probe: %s\n(see config_probe --help)\n", message.c_str());
  return kUsageError;
}

std::string NodeService(std::string node, const char* service) {
  if (!node.empty() && node.front() == '/') node.erase(0, 1);
  return "/" + node + "/" + service;
}

// Sends one request and waits for the answer; nullptr (and a message on stderr) when the
// service did not show up or did not answer before the deadline.
template <class ServiceT>
typename ServiceT::Response::SharedPtr Call(const rclcpp::Node::SharedPtr& node,
                                            const std::string& service,
                                            typename ServiceT::Request::SharedPtr request,
                                            double timeout_s) {
  using Clock = std::chrono::steady_clock;
  const auto timeout =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout_s));
  const auto deadline = Clock::now() + timeout;
  auto client = node->create_client<ServiceT>(service);
  if (!client->wait_for_service(timeout)) {
    if (rclcpp::ok()) {
      std::fprintf(stderr, "config_probe: service %s is not available (waited %g s)\n",
                   service.c_str(), timeout_s);
    }
    return nullptr;
  }
  auto future = client->async_send_request(request);
  const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto rc = rclcpp::spin_until_future_complete(node, future, left);
  if (rc != rclcpp::FutureReturnCode::SUCCESS) {
    client->remove_pending_request(future);
    if (rc == rclcpp::FutureReturnCode::TIMEOUT) {
      std::fprintf(stderr, "config_probe: no answer from %s within %g s\n", service.c_str(),
                   timeout_s);
    }
    return nullptr;
  }
  return future.get();
}

int Operate(const rclcpp::Node::SharedPtr& node, double timeout) {
  using velgar_protocol::srv::ConfigOperate;
  auto response = Call<ConfigOperate>(node, "/config_operate",
                                      std::make_shared<ConfigOperate::Request>(), timeout);
  if (!response) return kUnavailable;
  std::printf("config_operate: success=%s\n", response->success ? "true" : "false");
  return response->success ? 0 : kNegative;
}

int Get(const rclcpp::Node::SharedPtr& node, const std::string& target,
        const std::vector<std::string>& names, double timeout) {
  using rcl_interfaces::srv::GetParameters;
  auto request = std::make_shared<GetParameters::Request>();
  request->names = names;
  const std::string service = NodeService(target, "get_parameters");
  auto response = Call<GetParameters>(node, service, request, timeout);
  if (!response) return kUnavailable;
  if (response->values.size() != names.size()) {
    // rclcpp answers with no values at all when one of the names is not declared.
    std::fprintf(stderr,
                 "config_probe: %s answered %zu values for %zu names: a parameter is not "
                 "declared on that node\n",
                 service.c_str(), response->values.size(), names.size());
    return kNegative;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    std::string line;
    try {
      line = tools::TypedValueText(rclcpp::ParameterValue(response->values[i]));
    } catch (const std::exception& e) {
      line = "type=? (" + std::string(e.what()) + ")";
    }
    std::printf("%s %s\n", names[i].c_str(), line.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  try {
    args = tools::ProgramArguments(argc, argv);
  } catch (const std::exception& e) {
    return UsageError(e.what());
  }
  double timeout = 2.0;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (args[i] == "--timeout") {
      if (i + 1 >= args.size() || !tools::ParseSeconds(args[i + 1], &timeout)) {
        return UsageError("--timeout needs a number of seconds");
      }
      ++i;
      continue;
    }
    words.push_back(args[i]);
  }
  if (words.empty()) return UsageError("no command given");
  const std::string& command = words[0];
  const size_t n = words.size();
  if (command == "set" || command == "unset") {
    return UsageError("'" + command + "' is gone: use ros2 param " +
                      (command == "set" ? "set" : "delete"));
  }
  const bool ok_shape = (command == "operate" && n == 1) || (command == "get" && n >= 3);
  if (!ok_shape) {
    if (command != "operate" && command != "get") {
      return UsageError("unknown command '" + command + "'");
    }
    return UsageError("wrong number of arguments for '" + command + "'");
  }

  rclcpp::init(argc, argv);
  int status = kUnavailable;
  try {
    auto node = std::make_shared<rclcpp::Node>("config_probe_" + std::to_string(getpid()));
    if (command == "operate") {
      status = Operate(node, timeout);
    } else {
      status =
          Get(node, words[1], std::vector<std::string>(words.begin() + 2, words.end()), timeout);
    }
  } catch (const std::exception& e) {
    // For example an invalid service name built from NODE.
    std::fprintf(stderr, "config_probe: %s\n", e.what());
    status = kUsageError;
  }
  rclcpp::shutdown();
  return status;
}
