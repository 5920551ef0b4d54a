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

#include <rcl_interfaces/srv/get_parameter_types.hpp>
#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rcl_interfaces/srv/list_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "tool_args.hpp"
#include "value_text.hpp"

namespace {

constexpr char kUsage[] =
    "usage: param_target --name N [--namespace NS] [--TYPE P=DEFAULT]... [--allow-undeclared]\n"
    "                    [--no-type-services] [--delay-ms MS] [--quiet] [--ros-args ...]\n"
    "\n"
    "Runs the ROS 2 node N (in namespace NS) with the given parameters declared, and answers\n"
    "N/set_parameters, N/get_parameters, N/get_parameter_types and N/list_parameters.\n"
    "TYPE is string, int, double, bool (true|false), or an array of one of them:\n"
    "string-array, int-array, double-array, bool-array, byte-array (DEFAULT like [1, 2]).\n"
    "Every set is reported on stdout, one line each:\n"
    "  set N.P type=T value=V      accepted (strings are quoted, with \\\" \\\\ \\n \\xNN "
    "escapes)\n"
    "  unset N.P                   accepted removal (a value that is not set)\n"
    "  refused N.P reason=R        refused by the node's parameter rules\n"
    "  types N names=[..] answer=[..]   a ~/get_parameter_types call and its answer\n"
    "and `ready` once the services exist. N in these lines is the node's fully qualified\n"
    "name without the leading '/'.\n"
    "\n"
    "  --allow-undeclared   accept parameters that were not declared (as rclcpp's\n"
    "                       allow_undeclared_parameters)\n"
    "  --no-type-services   offer neither ~/get_parameter_types nor ~/list_parameters\n"
    "  --delay-ms MS        wait MS milliseconds before handling each set request\n"
    "  --quiet              print only `ready`\n"
    "Exits 0 on SIGINT or SIGTERM; 2 on a usage error.\n";

struct Options {
  std::string name;
  std::string ns;
  std::vector<std::pair<std::string, rclcpp::ParameterValue>> declared;
  bool allow_undeclared = false;
  bool type_services = true;
  int64_t delay_ms = 0;
  bool quiet = false;
};

int usage_error(const std::string& message) {
  std::fprintf(stderr, "param_target: %s\n(see param_target --help)\n", message.c_str());
  return 2;
}

bool is_type_option(const std::string& type) {
  for (const char* known : {"string", "int", "double", "bool", "string-array", "int-array",
                            "double-array", "bool-array", "byte-array"}) {
    if (type == known) return true;
  }
  return false;
}

// For usage errors: what a default of this type looks like.
std::string what_is(const std::string& type) {
  if (type == "int") return "an integer";
  if (type == "double") return "a number";
  if (type == "bool") return "true or false";
  return "a list like [a, b] of " + type.substr(0, type.find('-')) + " items";
}

template <typename T, typename Parse>
bool parse_items(const std::string& text, Parse parse, std::vector<T>& out) {
  std::vector<std::string> items;
  if (!tools::parse_list(text, items)) return false;
  for (const std::string& item : items) {
    T value{};
    if (!parse(item, value)) return false;
    out.push_back(value);
  }
  return true;
}

// A declared default of the given type from its command-line text.
bool parse_default(const std::string& type, const std::string& text, rclcpp::ParameterValue& out) {
  auto as_text = [](const std::string& item, std::string& value) {
    value = item;
    return true;
  };
  auto as_byte = [](const std::string& item, uint8_t& value) {
    int64_t n = 0;
    if (!tools::parse_int(item, n) || n < 0 || n > 255) return false;
    value = static_cast<uint8_t>(n);
    return true;
  };
  if (type == "string") {
    out = rclcpp::ParameterValue(text);
    return true;
  }
  if (type == "int") {
    int64_t v = 0;
    if (!tools::parse_int(text, v)) return false;
    out = rclcpp::ParameterValue(v);
    return true;
  }
  if (type == "double") {
    double v = 0;
    if (!tools::parse_double(text, v)) return false;
    out = rclcpp::ParameterValue(v);
    return true;
  }
  if (type == "bool") {
    bool v = false;
    if (!tools::parse_bool(text, v)) return false;
    out = rclcpp::ParameterValue(v);
    return true;
  }
  if (type == "bool-array") {
    std::vector<char> flags;
    auto as_flag = [](const std::string& item, char& value) {
      bool b = false;
      if (!tools::parse_bool(item, b)) return false;
      value = b;
      return true;
    };
    if (!parse_items(text, as_flag, flags)) return false;
    out = rclcpp::ParameterValue(std::vector<bool>(flags.begin(), flags.end()));
    return true;
  }
  bool parsed = false;
  if (type == "string-array") {
    std::vector<std::string> v;
    parsed = parse_items(text, as_text, v);
    out = rclcpp::ParameterValue(v);
  } else if (type == "int-array") {
    std::vector<int64_t> v;
    parsed = parse_items(text, tools::parse_int, v);
    out = rclcpp::ParameterValue(v);
  } else if (type == "double-array") {
    std::vector<double> v;
    parsed = parse_items(text, tools::parse_double, v);
    out = rclcpp::ParameterValue(v);
  } else if (type == "byte-array") {
    std::vector<uint8_t> v;
    parsed = parse_items(text, as_byte, v);
    out = rclcpp::ParameterValue(v);
  }
  return parsed;
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
    } else if (a.rfind("--", 0) == 0 && is_type_option(a.substr(2))) {
      std::string p, value;
      if (!next(v) || !tools::split_assignment(v, p, value)) {
        return usage_error(a + " needs P=DEFAULT");
      }
      rclcpp::ParameterValue parsed;
      if (!parse_default(a.substr(2), value, parsed)) {
        return usage_error(a + " " + v + ": '" + value + "' is not " + what_is(a.substr(2)));
      }
      o.declared.emplace_back(p, parsed);
    } else if (a == "--allow-undeclared") {
      o.allow_undeclared = true;
    } else if (a == "--no-type-services") {
      o.type_services = false;
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
    for (const auto& [p, v] : o.declared) node->declare_parameter(p, v);
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
  using rcl_interfaces::srv::GetParameterTypes;
  using rcl_interfaces::srv::ListParameters;
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

  // As rclcpp's own services answer them.
  rclcpp::Service<GetParameterTypes>::SharedPtr types_service;
  rclcpp::Service<ListParameters>::SharedPtr list_service;
  if (o.type_services) {
    types_service = node->create_service<GetParameterTypes>(
        fqn + "/get_parameter_types",
        [&node, label, quiet](const std::shared_ptr<GetParameterTypes::Request> request,
                              std::shared_ptr<GetParameterTypes::Response> response) {
          try {
            response->types = node->get_parameter_types(request->names);
          } catch (const std::exception&) {
            // An undeclared name (without --allow-undeclared) leaves the answer empty.
            response->types.clear();
          }
          if (quiet) return;
          std::string names, types;
          for (const auto& name : request->names) names += (names.empty() ? "" : ", ") + name;
          for (const auto type : response->types) {
            types += (types.empty() ? "" : ", ") +
                     rclcpp::to_string(static_cast<rclcpp::ParameterType>(type));
          }
          say("types " + label + " names=[" + names + "] answer=[" + types + "]");
        });
    list_service = node->create_service<ListParameters>(
        fqn + "/list_parameters", [&node](const std::shared_ptr<ListParameters::Request> request,
                                          std::shared_ptr<ListParameters::Response> response) {
          response->result = node->list_parameters(request->prefixes, request->depth);
        });
  }

  say("ready");
  rclcpp::spin(node);
  set_service.reset();
  get_service.reset();
  types_service.reset();
  list_service.reset();
  node.reset();
  rclcpp::shutdown();
  return 0;
}
