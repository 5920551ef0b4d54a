#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <rcl_interfaces/msg/parameter_type.hpp>

#include "config_center/config_center.hpp"
#include "config_center/logging.hpp"
#include "config_center/param_value_text.hpp"
#include "config_center/target_params.hpp"

namespace config_center {

ConfigCenter::ValueFit ConfigCenter::TypeParameterValue(
    const ConfigData& item, rcl_interfaces::msg::ParameterValue* value) {
  using rcl_interfaces::msg::ParameterType;
  if (item.value.empty()) {
    // The withdrawal form needs no type.
    *value = rcl_interfaces::msg::ParameterValue();
    value->type = ParameterType::PARAMETER_NOT_SET;
    return ValueFit::kSend;
  }
  std::vector<std::string> managed{item.name};
  if (!target_types_.Knows(item.node_name, item.name)) {
    // One lookup covers every parameter config_center manages on that node.
    std::map<std::string, std::string> params;
    if (ReadTargetParams(item.node_name, &params)) {
      for (const auto& param : params) {
        if (param.first != item.name) managed.push_back(param.first);
      }
    }
  }
  const ParamCallContext context{node_.get(), param_call_group_, param_call_executor_.get()};
  uint8_t type = ParameterType::PARAMETER_NOT_SET;
  switch (target_types_.Find(context, item.node_name, item.name, managed, &type)) {
    case TargetTypes::Found::kKnown:
      break;
    case TargetTypes::Found::kNoAnswer:
      return ValueFit::kUnreachable;
    case TargetTypes::Found::kShutdown:
      // Like a set call that shutting down ends: no failure.
      return ValueFit::kDone;
    case TargetTypes::Found::kNoService:
      // A node may serve set_parameters without the type services: it gets strings.
      if (!TargetWatch::Served(*node_, item.node_name)) {
        return ValueFit::kUnreachable;
      }
      target_types_.SetUntyped(item.node_name);
      break;
  }
  if (!ParameterValueFromText(type, item.value, value)) {
    LOG_ERROR(
        "Parameter {} of node {} is declared {}; the text \"{}\" does not read as one, "
        "not sent",
        item.name, item.node_name, ParameterTypeName(type), item.value);
    return ValueFit::kDone;
  }
  return ValueFit::kSend;
}

}  // namespace config_center
