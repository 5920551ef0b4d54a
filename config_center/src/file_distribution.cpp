#include <string>

#include "config_center/config_center.hpp"
#include "config_center/config_file.hpp"
#include "config_center/logging.hpp"

namespace config_center {

Outcome ConfigCenter::FileConfigDistribute(const ConfigData& item) {
  LOG_DEBUG("FileConfigDistribute: {}", item.name);
  std::string path;
  std::string why;
  if (!ConfigFilePath(kConfigsDir, item.name, &path, &why)) {
    LOG_ERROR("Refused config file name \"{}\": {}", item.name, why);
    return Outcome::kNever;
  }
  std::string error;
  switch (WriteFileAtomically(path, item.value, &error)) {
    case WriteStep::kNone:
      return Outcome::kDone;
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
  // A missing directory, a full disk or a missing permission can be mended while the node runs.
  return Outcome::kLater;
}

}  // namespace config_center
