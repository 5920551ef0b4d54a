#include <cstdio>
#include <string>

#include "config_center/config_center.hpp"
#include "config_center/config_file.hpp"
#include "config_center/logging.hpp"

namespace config_center {

Outcome ConfigCenter::DeleteParamConfig(const ConfigTableChangesData& change) {
  LOG_DEBUG("Delete node_name : {} ,  param {}", change.node_name, change.name);
  // An empty value goes out as a parameter that is not set: that is the withdrawal.
  return ParamConfigDistribute(ConfigData{change.name, "", change.node_name, kParam});
}

Outcome ConfigCenter::DeleteFileConfig(const ConfigTableChangesData& change) {
  LOG_DEBUG("Delete file config {}", change.name);
  std::string path;
  std::string why;
  if (!ConfigFilePath(kConfigsDir, change.name, &path, &why)) {
    LOG_ERROR("Refused to delete config file \"{}\": {}", change.name, why);
    return Outcome::kNever;
  }
  if (std::remove(path.c_str()) != 0) {
    LOG_ERROR("Failed to delete config file {}", change.name);
  }
  return Outcome::kDone;
}

}  // namespace config_center
