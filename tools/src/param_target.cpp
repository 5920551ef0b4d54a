// param_target: a ROS 2 node whose parameters other programs set, for tests and the demo.
// It answers the parameter services itself (the node's own parameter rules decide), so that
// it can report every accepted and refused set on stdout. It offers all six of them, as an
// rclcpp node does: Jazzy's `ros2 param set` waits for every one before it sends.
#include <time.h>
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
#include <rcl_interfaces/srv/describe_parameters.hpp>
#include <rcl_interfaces/srv/get_parameter_types.hpp>
#include <rcl_interfaces/srv/get_parameters.hpp>
#include <rcl_interfaces/srv/list_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters_atomically.hpp>
#include <rclcpp/rclcpp.hpp>

#include "parameter_text/parameter_text.hpp"
#include "stop_signals/stop_signals.hpp"
#include "tool_args.hpp"
#include "value_text.hpp"

namespace {

namespace tools = config_center::tools;

constexpr char kUsage[] =
    "usage: param_target --name N [--namespace NS] [--TYPE P=DEFAULT]... [--allow-undeclared]\n"
    "                    [--no-type-services] [--delay-ms MS] [--refuse REASON]\n"
    "                    [--fight-back P=VALUE]... [--quiet] [--nodes K] [--report-every C]\n"
    "                    [--ros-args ...]\n"
    "\n"
    "Runs the ROS 2 node N (in namespace NS) with the given parameters declared, and answers\n"
    "N/set_parameters, N/set_parameters_atomically, N/get_parameters, N/describe_parameters,\n"
    "N/get_parameter_types and N/list_parameters.\n"
    "With --nodes K it runs K such nodes in one process on one executor, as a component\n"
    "container holds them, named N_0 ... N_(K-1).\n"
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
    "  --quiet              print only `ready` (and the --report-every lines)\n"
    "  --report-every C     after every C accepted sets, counted over all nodes of the\n"
    "                       process, print `sets TOTAL at_ns=T`: T is CLOCK_MONOTONIC in\n"
    "                       nanoseconds when the set was taken, for another process to time\n"
    "                       it against its own start\n"
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
  int64_t nodes = 1;
  int64_t report_every = 0;
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
    } else if (a == "--nodes") {
      if (!next(v) || !tools::ParseInt(v, &o.nodes) || o.nodes < 1 || o.nodes > 10000) {
        return UsageError("--nodes needs a count from 1 to 10000");
      }
    } else if (a == "--report-every") {
      if (!next(v) || !tools::ParseInt(v, &o.report_every) || o.report_every < 1) {
        return UsageError("--report-every needs a positive integer");
      }
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

// One line for one parameter of a set request and the node's answer to it.
void Report(const std::string& label, const rcl_interfaces::msg::Parameter& msg,
            const rcl_interfaces::msg::SetParametersResult& result) {
  const std::string who = label + "." + msg.name;
  if (!result.successful) {
    Say("refused " + who + " reason=" + tools::OneLine(result.reason));
  } else if (msg.value.type == rcl_interfaces::msg::ParameterType::PARAMETER_NOT_SET) {
    Say("unset " + who);
  } else {
    Say("set " + who + " " + tools::TypedValueText(rclcpp::ParameterValue(msg.value)));
  }
}

// Sleeps in short steps so that a signal ends the wait at once.
void Delay(int64_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (rclcpp::ok() && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Accepted sets over all nodes of the process; all callbacks run on the one executor thread.
struct SetCounter {
  int64_t every = 0;
  int64_t accepted = 0;

  void Accepted() {
    if (every <= 0 || ++accepted % every != 0) return;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ns = int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
    Say("sets " + std::to_string(accepted) + " at_ns=" + std::to_string(ns));
  }
};

// One node with its parameter services; they report on stdout as the usage says.
class TargetNode {
public:
  TargetNode(const std::string& name, const Options& o, SetCounter* counter);
  ~TargetNode();
  TargetNode(const TargetNode&) = delete;
  TargetNode& operator=(const TargetNode&) = delete;

  const std::shared_ptr<rclcpp::Node>& node() const { return node_; }

private:
  void OfferSet(const Options& o, SetCounter* counter);
  // All or none; each parameter's line carries the one answer.
  void OfferSetAtomically(const Options& o, SetCounter* counter);
  void OfferGet();
  void OfferDescribe();
  void OfferTypesAndList(bool quiet);
  // The node's own set back of `name`, a millisecond after a set it fights (never from
  // inside the service's callback, whose answer goes first).
  void Fight(const std::string& name, const rcl_interfaces::msg::ParameterValue& set);

  std::shared_ptr<rclcpp::Node> node_;
  std::string label_;  // the fully qualified name without the leading '/'
  rclcpp::ServiceBase::SharedPtr set_service_;
  rclcpp::ServiceBase::SharedPtr atomic_service_;
  rclcpp::ServiceBase::SharedPtr get_service_;
  rclcpp::ServiceBase::SharedPtr describe_service_;
  rclcpp::ServiceBase::SharedPtr types_service_;
  rclcpp::ServiceBase::SharedPtr list_service_;
  std::vector<std::pair<std::string, std::string>> fight_back_;
  std::vector<rclcpp::TimerBase::SharedPtr> fights_;
};

TargetNode::TargetNode(const std::string& name, const Options& o, SetCounter* counter)
    : fight_back_(o.fight_back) {
  rclcpp::NodeOptions options;
  options.allow_undeclared_parameters(o.allow_undeclared).start_parameter_services(false);
  node_ = o.ns.empty() ? std::make_shared<rclcpp::Node>(name, options)
                       : std::make_shared<rclcpp::Node>(name, o.ns, options);
  for (const auto& [p, v] : o.declared) node_->declare_parameter(p, v);
  label_ = std::string(node_->get_fully_qualified_name()).substr(1);
  OfferSet(o, counter);
  OfferSetAtomically(o, counter);
  OfferGet();
  OfferDescribe();
  if (o.type_services) OfferTypesAndList(o.quiet);
}

TargetNode::~TargetNode() {
  fights_.clear();
  set_service_.reset();
  atomic_service_.reset();
  get_service_.reset();
  describe_service_.reset();
  types_service_.reset();
  list_service_.reset();
  node_.reset();
}

void TargetNode::OfferSet(const Options& o, SetCounter* counter) {
  using rcl_interfaces::srv::SetParameters;
  rclcpp::Node* node = node_.get();
  const std::string label = label_;
  const bool quiet = o.quiet;
  const int64_t delay_ms = o.delay_ms;
  const std::optional<std::string> refuse = o.refuse;
  set_service_ = node_->create_service<SetParameters>(
      "/" + label + "/set_parameters", [this, node, label, quiet, delay_ms, counter, refuse](
                                           const std::shared_ptr<SetParameters::Request> request,
                                           std::shared_ptr<SetParameters::Response> response) {
        if (delay_ms > 0) Delay(delay_ms);
        for (const auto& msg : request->parameters) {
          rcl_interfaces::msg::SetParametersResult result;
          try {
            const auto p = rclcpp::Parameter::from_parameter_msg(msg);
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
          if (result.successful) {
            counter->Accepted();
            Fight(msg.name, msg.value);
          }
          if (!quiet) Report(label, msg, result);
        }
      });
}

void TargetNode::OfferSetAtomically(const Options& o, SetCounter* counter) {
  using rcl_interfaces::srv::SetParametersAtomically;
  rclcpp::Node* node = node_.get();
  const std::string label = label_;
  const bool quiet = o.quiet;
  atomic_service_ = node_->create_service<SetParametersAtomically>(
      "/" + label + "/set_parameters_atomically",
      [this, node, label, quiet, counter](
          const std::shared_ptr<SetParametersAtomically::Request> request,
          std::shared_ptr<SetParametersAtomically::Response> response) {
        try {
          std::vector<rclcpp::Parameter> parameters;
          for (const auto& msg : request->parameters) {
            parameters.push_back(rclcpp::Parameter::from_parameter_msg(msg));
          }
          response->result = node->set_parameters_atomically(parameters);
        } catch (const std::exception& e) {
          response->result.successful = false;
          response->result.reason = e.what();
        }
        for (const auto& msg : request->parameters) {
          if (response->result.successful) {
            counter->Accepted();
            Fight(msg.name, msg.value);
          }
          if (!quiet) Report(label, msg, response->result);
        }
      });
}

void TargetNode::OfferDescribe() {
  using rcl_interfaces::srv::DescribeParameters;
  rclcpp::Node* node = node_.get();
  describe_service_ = node_->create_service<DescribeParameters>(
      "/" + label_ + "/describe_parameters",
      [node](const std::shared_ptr<DescribeParameters::Request> request,
             std::shared_ptr<DescribeParameters::Response> response) {
        try {
          response->descriptors = node->describe_parameters(request->names);
        } catch (const std::exception&) {
          // As rclcpp: a name that is not declared leaves the answer empty.
          response->descriptors.clear();
        }
      });
}

void TargetNode::Fight(const std::string& name, const rcl_interfaces::msg::ParameterValue& set) {
  for (const auto& [p, text] : fight_back_) {
    if (p != name) continue;
    rcl_interfaces::msg::ParameterValue own;
    const auto type = node_->get_parameter(p).get_type();
    if (!parameter_text::ParameterValueFromText(type, text, &own) || own == set) return;
    auto timer = std::make_shared<rclcpp::TimerBase::SharedPtr>();
    *timer = node_->create_wall_timer(std::chrono::milliseconds(1), [this, timer, p = p, own]() {
      (*timer)->cancel();
      node_->set_parameter(rclcpp::Parameter(p, rclcpp::ParameterValue(own)));
      Say("fought " + label_ + "." + p + " " + tools::TypedValueText(rclcpp::ParameterValue(own)));
      fights_.erase(std::remove(fights_.begin(), fights_.end(), *timer), fights_.end());
    });
    fights_.push_back(*timer);
  }
}

void TargetNode::OfferGet() {
  using rcl_interfaces::srv::GetParameters;
  rclcpp::Node* node = node_.get();
  get_service_ = node_->create_service<GetParameters>(
      "/" + label_ + "/get_parameters",
      [node](const std::shared_ptr<GetParameters::Request> request,
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
}

// As rclcpp's own services answer them.
void TargetNode::OfferTypesAndList(bool quiet) {
  using rcl_interfaces::srv::GetParameterTypes;
  using rcl_interfaces::srv::ListParameters;
  rclcpp::Node* node = node_.get();
  const std::string label = label_;
  types_service_ = node_->create_service<GetParameterTypes>(
      "/" + label + "/get_parameter_types",
      [node, label, quiet](const std::shared_ptr<GetParameterTypes::Request> request,
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
  list_service_ = node_->create_service<ListParameters>(
      "/" + label + "/list_parameters",
      [node](const std::shared_ptr<ListParameters::Request> request,
             std::shared_ptr<ListParameters::Response> response) {
        response->result = node->list_parameters(request->prefixes, request->depth);
      });
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

  // Before any thread exists: SIGINT and SIGTERM are taken on its thread only.
  stop_signals::StopSignals stop_signals;
  rclcpp::init(argc, argv, rclcpp::InitOptions(), rclcpp::SignalHandlerOptions::None);
  // The client library's info records are not this tool's output (it prints with printf).
  rcutils_logging_set_default_logger_level(RCUTILS_LOG_SEVERITY_WARN);
  // A signal's shutdown waits while the nodes are made (none of it waits on anything).
  auto making = stop_signals.HoldShutdown();
  SetCounter counter;
  counter.every = o.report_every;
  std::vector<std::unique_ptr<TargetNode>> targets;
  rclcpp::executors::SingleThreadedExecutor executor;
  try {
    for (int64_t i = 0; i < o.nodes; ++i) {
      const std::string name = o.nodes == 1 ? o.name : o.name + "_" + std::to_string(i);
      targets.push_back(std::make_unique<TargetNode>(name, o, &counter));
      executor.add_node(targets.back()->node());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "param_target: %s\n", e.what());
    making.Release();
    stop_signals.Finish();
    targets.clear();
    rclcpp::shutdown();
    return 1;
  }

  making.Release();
  Say("ready");
  executor.spin();
  // A signal's shutdown runs to its end before anything is taken down.
  stop_signals.Finish();
  for (const auto& target : targets) executor.remove_node(target->node());
  targets.clear();
  rclcpp::shutdown();
  return 0;
}
