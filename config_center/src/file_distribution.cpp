#include <string>

#include "config_center/config_center.hpp"
#include "config_center/config_file.hpp"
#include "config_center/logging.hpp"

namespace config_center {

bool ConfigCenter::FileConfigDistribute(const ConfigData& item) {
  LOG_DEBUG("FileConfigDistribute: {}", item.name);
  std::string path;
  std::string why;
  if (!ConfigFilePath(kConfigsDir, item.name, &path, &why)) {
    LOG_ERROR("Refused config file name \"{}\": {}", item.name, why);
    return false;
  }
  std::string error;
  switch (WriteFileAtomically(path, item.value, &error)) {
    case WriteStep::kNone:
      return true;
    case WriteStep::kCreateTemp:
      LOG_ERROR("Failed to create tmp config file for {}: {}", item.name, error);
      break;
    case WriteStep::kWriteTemp:
      LOG_ERROR("Failed to write tmp config file for {}: {}", item.name, error);
      break;
    case WriteStep::kReplaceTarget:
      LOG_ERROR("Failed to use tmpfile cover target file {}: {}", item.name, error);
      break;
    case WriteStep::kSyncDirectory:
      LOG_ERROR("Failed to sync config directory of {}: {}", item.name, error);
      break;
  }
  return false;
}

}  // namespace config_center
