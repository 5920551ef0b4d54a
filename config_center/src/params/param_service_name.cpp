#include "params/param_service_name.hpp"

#include <rmw/error_handling.h>
#include <rmw/validate_full_topic_name.h>

namespace config_center {

std::string ParamServiceName(const std::string& node_name, const char* service) {
  return "/" + node_name + "/" + service;
}

bool IsValidNodeName(const std::string& node_name, std::string* why) {
  const std::string service_name = ParamServiceName(node_name, kSetParameters);
  int validity = RMW_TOPIC_VALID;
  size_t at = 0;
  if (rmw_validate_full_topic_name(service_name.c_str(), &validity, &at) != RMW_RET_OK) {
    rmw_reset_error();
    return true;  // not judged here; creating the client will tell
  }
  if (validity == RMW_TOPIC_VALID) return true;
  *why = "node_name \"" + node_name + "\" makes no valid service name: " +
         rmw_full_topic_name_validation_result_string(validity) + " (at index " +
         std::to_string(at) + " of " + service_name + ")";
  return false;
}

}  // namespace config_center
