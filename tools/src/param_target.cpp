// param_target: a ROS 2 node whose parameters other programs set, for tests and the demo.
// It answers ~/set_parameters and ~/get_parameters itself (the node's own parameter rules
// decide), so that it can report every accepted and refused set on stdout.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <rcutils/logging.h>
#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rcl_interfaces/msg/parameter_value.hpp>
#include <rcl_interfaces/srv/get_parameter_types.hpp>
#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rcl_interfaces/srv/list_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "parameter_text/parameter_text.hpp"
#include "tool_args.hpp"
#include "value_text.hpp"

namespace {

namespace tools = config_center::tools;

constexpr char kUsage[] =
    "usage: param_target --name N [--namespace NS] [--TYPE P=DEFAULT]... [--allow-undeclared]\n"
    "                    [--no-type-services] [--delay-ms MS] [--refuse REASON]\n"
    "                    [--fight-back P=VALUE]... [--quiet] [--ros-args ...]\n"
    "\n"
    "Runs the ROS 2 node N (in namespace NS) with the given parameters declared, and answers\n"
    "N/set_parameters, N/get_parameters, N/get_parameter_types and N/list_parameters.\n"
    "TYPE is string, int, double, bool, or an array of one of them: string-array,\n"
    "int-array, double-array, bool-array, byte-array. DEFAULT is read as config_center reads\n"
    "an item's text for a parameter of that type: a YAML scalar (5, 0x1A, 2.5, true, yes), or\n"
    "a YAML sequence for the arrays ([1, 2], []); a string default is taken as it is.\n"
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
    "  --refuse REASON      refuse every set with REASON, as a node's own parameter rules\n"
    "                       would (REASON is taken byte for byte)\n"
    "  --fight-back P=VALUE after each accepted set of P to anything else, set P back to\n"
    "                       VALUE itself a millisecond later (read as a default of P's\n"
    "                       declared type), reported as `fought N.P value=V`\n"
    "  --quiet              print only `ready`\n"
    "Exits 0 on SIGINT or SIGTERM; 2 on a usage error.\n";

struct Options {
  std::string name;
  std::string ns;
  std::vector<std::pair<std::string, rclcpp::ParameterValue>> declared;
  bool allow_undeclared = false;
  bool type_services = true;
  int64_t delay_ms = 0;
  std::optional<std::string> refuse;
  std::vector<std::pair<std::string, std::string>> fight_back;
  bool quiet = false;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "param_target: %s\n(see param_target --help)\n", message.c_str());
  return 2;
}

// A --TYPE option: the parameter type it declares, and what its default must look like.
struct TypeOption {
  const char* name;
  uint8_t type;
  const char* looks_like;
};

const TypeOption* FindTypeOption(const std::string& name) {
  using rcl_interfaces::msg::ParameterType;
  static const TypeOption kOptions[] = {
      {"string", ParameterType::PARAMETER_STRING, "a text"},
      {"int", ParameterType::PARAMETER_INTEGER, "an integer"},
      {"double", ParameterType::PARAMETER_DOUBLE, "a number"},
      {"bool", ParameterType::PARAMETER_BOOL, "true or false"},
      {"string-array", ParameterType::PARAMETER_STRING_ARRAY, "a list like [a, b] of string items"},
      {"int-array", ParameterType::PARAMETER_INTEGER_ARRAY, "a list like [a, b] of int items"},
      {"double-array", ParameterType::PARAMETER_DOUBLE_ARRAY, "a list like [a, b] of double items"},
      {"bool-array", ParameterType::PARAMETER_BOOL_ARRAY, "a list like [a, b] of bool items"},
      {"byte-array", ParameterType::PARAMETER_BYTE_ARRAY, "a list like [a, b] of byte items"},
  };
  for (const TypeOption& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

// A declared default from its command-line text, read as config_center reads an item's text
// for a parameter of that type.
bool ParseDefault(const TypeOption& option, const std::string& text, rclcpp::ParameterValue* out) {
  rcl_interfaces::msg::ParameterValue value;
  if (!parameter_text::ParameterValueFromText(option.type, text, &value)) return false;
  *out = rclcpp::ParameterValue(value);
  return true;
}

// Returns -1 when the options are complete, otherwise the exit status.
int Parse(const std::vector<std::string>& args, Options& o) {
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
      if (!next(o.name)) return UsageError("--name needs a value");
    } else if (a == "--namespace") {
      if (!next(o.ns)) return UsageError("--namespace needs a value");
    } else if (const TypeOption* option =
                   a.rfind("--", 0) == 0 ? FindTypeOption(a.substr(2)) : nullptr) {
      std::string p, value;
      if (!next(v) || !tools::SplitAssignment(v, &p, &value)) {
        return UsageError(a + " needs P=DEFAULT");
      }
      rclcpp::ParameterValue parsed;
      if (!ParseDefault(*option, value, &parsed)) {
        return UsageError(a + " " + v + ": '" + value + "' is not " + option->looks_like);
      }
      o.declared.emplace_back(p, parsed);
    } else if (a == "--allow-undeclared") {
      o.allow_undeclared = true;
    } else if (a == "--no-type-services") {
      o.type_services = false;
    } else if (a == "--delay-ms") {
      if (!next(v) || !tools::ParseInt(v, &o.delay_ms) || o.delay_ms < 0) {
        return UsageError("--delay-ms needs a non-negative integer");
      }
    } else if (a == "--refuse") {
      if (!next(v)) return UsageError("--refuse needs a reason");
      o.refuse = v;
    } else if (a == "--fight-back") {
      std::string p, value;
      if (!next(v) || !tools::SplitAssignment(v, &p, &value)) {
        return UsageError("--fight-back needs P=VALUE");
      }
      o.fight_back.emplace_back(p, value);
    } else if (a == "--quiet") {
      o.quiet = true;
    } else {
      return UsageError("unknown argument '" + a + "'");
    }
  }
  if (o.name.empty()) return UsageError("--name is required");
  return -1;
}

void Say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Sleeps in short steps so that a signal ends the wait at once.
void Delay(int64_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (rclcpp::ok() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  try {
    const int status = Parse(tools::ProgramArguments(argc, argv), o);
    if (status >= 0) return status;
  } catch (const std::exception& e) {
    return UsageError(e.what());
  }

  rclcpp::init(argc, argv);
  // As in the node: Humble's signal handler logs at info level from inside the handler, which
  // allocates (ThreadSanitizer reports it) and deadlocks when the signal lands in malloc; with
  // the default level above info that log is skipped. This tool prints with printf.
  rcutils_logging_set_default_logger_level(RCUTILS_LOG_SEVERITY_WARN);
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
  const std::optional<std::string> refuse = o.refuse;
  const auto fight_back = o.fight_back;
  // The node's own sets back, a millisecond after a set it fights (never from inside the
  // service's callback, whose answer goes first).
  std::vector<rclcpp::TimerBase::SharedPtr> fights;
  auto fight = [&node, &fights, label, fight_back](const std::string& name,
                                                   const rcl_interfaces::msg::ParameterValue& set) {
    for (const auto& [p, text] : fight_back) {
      if (p != name) continue;
      rcl_interfaces::msg::ParameterValue own;
      const auto type = node->get_parameter(p).get_type();
      if (!parameter_text::ParameterValueFromText(type, text, &own) || own == set) return;
      auto timer = std::make_shared<rclcpp::TimerBase::SharedPtr>();
      *timer = node->create_wall_timer(std::chrono::milliseconds(1), [&node, &fights, timer, label,
                                                                      p = p, own]() {
        (*timer)->cancel();
        node->set_parameter(rclcpp::Parameter(p, rclcpp::ParameterValue(own)));
        Say("fought " + label + "." + p + " " + tools::TypedValueText(rclcpp::ParameterValue(own)));
        fights.erase(std::remove(fights.begin(), fights.end(), *timer), fights.end());
      });
      fights.push_back(*timer);
    }
  };

  using rcl_interfaces::srv::GetParameters;
  using rcl_interfaces::srv::GetParameterTypes;
  using rcl_interfaces::srv::ListParameters;
  using rcl_interfaces::srv::SetParameters;
  auto set_service = node->create_service<SetParameters>(
      fqn + "/set_parameters", [&node, &fight, label, quiet, delay_ms, refuse](
                                   const std::shared_ptr<SetParameters::Request> request,
                                   std::shared_ptr<SetParameters::Response> response) {
        if (delay_ms > 0) Delay(delay_ms);
        for (const auto& msg : request->parameters) {
          rcl_interfaces::msg::SetParametersResult result;
          rclcpp::ParameterType type = rclcpp::PARAMETER_NOT_SET;
          try {
            const auto p = rclcpp::Parameter::from_parameter_msg(msg);
            type = p.get_type();
            if (refuse) {
              result.successful = false;
              result.reason = *refuse;
            } else {
              result = node->set_parameters_atomically({p});
            }
          } catch (const std::exception& e) {
            // Undeclared name, empty name or unknown type tag: rclcpp's parameter service
            // answers these with the exception's text as the reason.
            result.successful = false;
            result.reason = e.what();
          }
          response->results.push_back(result);
          if (result.successful) fight(msg.name, msg.value);
          if (quiet) continue;
          const std::string who = label + "." + msg.name;
          if (!result.successful) {
            Say("refused " + who + " reason=" + tools::OneLine(result.reason));
          } else if (type == rclcpp::PARAMETER_NOT_SET) {
            Say("unset " + who);
          } else {
            Say("set " + who + " " + tools::TypedValueText(rclcpp::ParameterValue(msg.value)));
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
          Say("types " + label + " names=[" + names + "] answer=[" + types + "]");
        });
    list_service = node->create_service<ListParameters>(
        fqn + "/list_parameters", [&node](const std::shared_ptr<ListParameters::Request> request,
                                          std::shared_ptr<ListParameters::Response> response) {
          response->result = node->list_parameters(request->prefixes, request->depth);
        });
  }

  Say("ready");
  rclcpp::spin(node);
  set_service.reset();
  get_service.reset();
  types_service.reset();
  list_service.reset();
  node.reset();
  rclcpp::shutdown();
  return 0;
}
