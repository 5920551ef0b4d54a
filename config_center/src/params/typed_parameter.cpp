#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <rcl_interfaces/msg/parameter_type.hpp>

#include "node/config_center.hpp"
#include "logging/logging.hpp"
#include "parameter_text/parameter_text.hpp"

namespace config_center {

namespace {
// The whole lookup (up to three calls) shares one deadline, as a set call does.
constexpr std::chrono::seconds kLookupDeadline{1};
}  // namespace

void ConfigCenter::TypeAndSend(const Target& target, const ConfigData& item) {
  using Found = TargetTypes::Found;
  auto send = [this, target, item] {
    const uint8_t type = target_types_.TypeOf(item.node_name, item.name);
    rcl_interfaces::msg::Parameter parameter;
    parameter.name = item.name;
    if (!parameter_text::ParameterValueFromText(type, item.value, &parameter.value)) {
      // Handled like a value the node refuses: logged, and the item counts as handled.
      LOG_ERROR(
          "Parameter {} of node {} is declared {}; the text \"{}\" does not read as one, "
          "not sent",
          item.name, item.node_name, parameter_text::ParameterTypeName(type), item.value);
      return FinishAttempt(target, Outcome::kDone, "");
    }
    CallSetParameters(target, std::move(parameter));
  };
  if (target_types_.Knows(item.node_name, item.name)) {
    return send();
  }
  // One lookup covers every parameter config_center manages on that node: names only.
  std::vector<std::string> managed{item.name};
  std::map<std::string, std::string> params;
  if (ReadTargetParams(item.node_name, ItemColumns::kParamNames, &params)) {
    for (const auto& param : params) {
      if (param.first != item.name) managed.push_back(param.first);
    }
  }
  target_types_.Learn(calls_, item.node_name, managed, TargetTypes::Clock::now() + kLookupDeadline,
                      [this, target, item, send](Found found) {
                        switch (found) {
                          case Found::kKnown:
                            return send();
                          case Found::kNoAnswer:
                            NoteParamCall(item.node_name, false);
                            return FinishAttempt(
                                target, Outcome::kLater,
                                "node " + item.node_name + " did not answer within 1 s");
                          case Found::kShutdown:
                            // Like a set call that shutting down ends: no failure.
                            return FinishAttempt(target, Outcome::kDone, "");
                          case Found::kNoService:
                            break;
                        }
                        // A node may serve set_parameters without the type services: it gets
                        // strings.
                        if (!TargetWatch::Served(*node_, item.node_name)) {
                          return FinishAttempt(target, Outcome::kLater,
                                               "node " + item.node_name + " is not running");
                        }
                        target_types_.SetUntyped(item.node_name);
                        send();
                      });
}

}  // namespace config_center
