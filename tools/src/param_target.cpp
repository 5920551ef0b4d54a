// param_target: a ROS 2 node whose parameters other programs set, for tests and the demo.
// It answers ~/set_parameters and ~/get_parameters itself (the node's own parameter rules
// decide), so that it can report every accepted and refused set on stdout.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "tool_args.hpp"
#include "value_text.hpp"

namespace {

constexpr char kUsage[] =
    "usage: param_target --name N [--namespace NS] [--string P=DEFAULT]... [--int P=DEFAULT]...\n"
    "                    [--allow-undeclared] [--delay-ms MS] [--quiet] [--ros-args ...]\n"
    "\n"
    "Runs the ROS 2 node N (in namespace NS) with the given string and integer parameters\n"
    "declared, and answers N/set_parameters and N/get_parameters. Every set is reported on\n"
    "stdout, one line each:\n"
    "  set N.P type=T value=V      accepted (strings are quoted, with \\\" \\\\ \\n \\xNN "
    "escapes)\n"
    "  unset N.P                   accepted removal (a value that is not set)\n"
    "  refused N.P reason=R        refused by the node's parameter rules\n"
    "and `ready` once the services exist. N in these lines is the node's fully qualified\n"
    "name without the leading '/'.\n"
    "\n"
    "  --allow-undeclared   accept parameters that were not declared (as rclcpp's\n"
    "                       allow_undeclared_parameters)\n"
    "  --delay-ms MS        wait MS milliseconds before handling each set request\n"
    "  --quiet              print only `ready`\n"
    "Exits 0 on SIGINT or SIGTERM; 2 on a usage error.\n";

struct Options {
  std::string name;
  std::string ns;
  std::vector<std::pair<std::string, std::string>> strings;
  std::vector<std::pair<std::string, int64_t>> ints;
  bool allow_undeclared = false;
  int64_t delay_ms = 0;
  bool quiet = false;
};

int usage_error(const std::string& message) {
  std::fprintf(stderr, "param_target: %s\n(see param_target --help)\n", message.c_str());
  return 2;
}

// Returns -1 when the options are complete, otherwise the exit status.
int parse(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto next = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--name") {
      if (!next(o.name)) return usage_error("--name needs a value");
    } else if (a == "--namespace") {
      if (!next(o.ns)) return usage_error("--namespace needs a value");
    } else if (a == "--string" || a == "--int") {
      std::string p, value;
      if (!next(v) || !tools::split_assignment(v, p, value)) {
        return usage_error(a + " needs P=DEFAULT");
      }
      if (a == "--string") {
        o.strings.emplace_back(p, value);
      } else {
        int64_t n = 0;
        if (!tools::parse_int(value, n)) {
          return usage_error("--int " + v + ": '" + value + "' is not an integer");
        }
        o.ints.emplace_back(p, n);
      }
    } else if (a == "--allow-undeclared") {
      o.allow_undeclared = true;
    } else if (a == "--delay-ms") {
      if (!next(v) || !tools::parse_int(v, o.delay_ms) || o.delay_ms < 0) {
        return usage_error("--delay-ms needs a non-negative integer");
      }
    } else if (a == "--quiet") {
      o.quiet = true;
    } else {
      return usage_error("unknown argument '" + a + "'");
    }
  }
  if (o.name.empty()) return usage_error("--name is required");
  return -1;
}

void say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Sleeps in short steps so that a signal ends the wait at once.
void delay(int64_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (rclcpp::ok() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    const int status = parse(tools::program_arguments(argc, argv), o);
    if (status >= 0) return status;
  } catch (const std::exception& e) {
    return usage_error(e.what());
  }

  rclcpp::init(argc, argv);
  std::shared_ptr<rclcpp::Node> node;
  try {
    rclcpp::NodeOptions options;
    options.allow_undeclared_parameters(o.allow_undeclared).start_parameter_services(false);
    node = o.ns.empty() ? std::make_shared<rclcpp::Node>(o.name, options)
                        : std::make_shared<rclcpp::Node>(o.name, o.ns, options);
    for (const auto& [p, v] : o.strings) node->declare_parameter(p, v);
    for (const auto& [p, v] : o.ints) node->declare_parameter(p, v);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "param_target: %s\n", e.what());
    rclcpp::shutdown();
    return 1;
  }

  const std::string fqn = node->get_fully_qualified_name();
  const std::string label = fqn.substr(1);
  const bool quiet = o.quiet;
  const int64_t delay_ms = o.delay_ms;

  using rcl_interfaces::srv::GetParameters;
  using rcl_interfaces::srv::SetParameters;
  auto set_service = node->create_service<SetParameters>(
      fqn + "/set_parameters",
      [&node, label, quiet, delay_ms](const std::shared_ptr<SetParameters::Request> request,
                                      std::shared_ptr<SetParameters::Response> response) {
        if (delay_ms > 0) delay(delay_ms);
        for (const auto& msg : request->parameters) {
          rcl_interfaces::msg::SetParametersResult result;
          rclcpp::ParameterType type = rclcpp::PARAMETER_NOT_SET;
          try {
            const auto p = rclcpp::Parameter::from_parameter_msg(msg);
            type = p.get_type();
            result = node->set_parameters_atomically({p});
          } catch (const std::exception& e) {
            // Undeclared name, empty name or unknown type tag: rclcpp's parameter service
            // answers these with the exception's text as the reason.
            result.successful = false;
            result.reason = e.what();
          }
          response->results.push_back(result);
          if (quiet) continue;
          const std::string who = label + "." + msg.name;
          if (!result.successful) {
            say("refused " + who + " reason=" + tools::one_line(result.reason));
          } else if (type == rclcpp::PARAMETER_NOT_SET) {
            say("unset " + who);
          } else {
            say("set " + who + " " + tools::typed_value_text(rclcpp::ParameterValue(msg.value)));
          }
        }
      });
  auto get_service = node->create_service<GetParameters>(
      fqn + "/get_parameters", [&node](const std::shared_ptr<GetParameters::Request> request,
                                       std::shared_ptr<GetParameters::Response> response) {
        try {
          for (const auto& p : node->get_parameters(request->names)) {
            response->values.push_back(p.get_value_message());
          }
        } catch (const std::exception&) {
          // As rclcpp: a name that is not declared leaves the answer empty.
          response->values.clear();
        }
      });

  say("ready");
  rclcpp::spin(node);
  set_service.reset();
  get_service.reset();
  node.reset();
  rclcpp::shutdown();
  return 0;
}
