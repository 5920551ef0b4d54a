#include <string>

#include "node/config_center.hpp"
#include "files/config_file.hpp"
#include "logging/logging.hpp"

namespace config_center {

std::string WriteFailureText(WriteStep step, const std::string& name, const std::string& error) {
  switch (step) {
    case WriteStep::kNone:
      break;
    case WriteStep::kCreateTemp:
      return "Failed to create tmp config file for " + name + ": " + error;
    case WriteStep::kWriteTemp:
      return "Failed to write tmp config file for " + name + ": " + error;
    case WriteStep::kReplaceTarget:
      return "Failed to use tmpfile cover target file " + name + ": " + error;
    case WriteStep::kSyncDirectory:
      return "Failed to sync config directory of " + name + ": " + error;
  }
  return "";
}

Outcome ConfigCenter::FileConfigDistribute(const ConfigData& item, std::string* why) {
  LOG_DEBUG("FileConfigDistribute: {}", item.name);
  std::string reason;
  const Outcome outcome = WriteConfigItem(item, &reason);
  if (outcome == Outcome::kNever) {
    LOG_ERROR("Refused config file name \"{}\": {}", item.name, reason);
  } else if (outcome == Outcome::kLater) {
    LOG_ERROR("{}", reason);
  }
  if (why != nullptr) *why = reason;
  return outcome;
}

Outcome ConfigCenter::WriteConfigItem(const ConfigData& item, std::string* why) {
  std::string path;
  if (!ConfigFilePath(kConfigsDir, item.name, &path, why)) {
    return Outcome::kNever;
  }
  // A directory in its place can only be a directory's name, never a file item's.
  if (IsDirectory(path)) {
    *why = "\"" + item.name + "\" names a directory";
    return Outcome::kNever;
  }
  std::string error;
  if (MakeConfigDirectories(kConfigsDir, item.name, &error) != DirectoriesMade::kReady) {
    *why = "Failed to make the directories of " + item.name + ": " + error;
    return Outcome::kLater;
  }
  const WriteStep failed = WriteFileAtomically(path, item.value, &error);
  if (failed == WriteStep::kNone) {
    return Outcome::kDone;
  }
  // A missing permission, a full disk or a file in the way can be mended while the node runs.
  *why = WriteFailureText(failed, item.name, error);
  return Outcome::kLater;
}

}  // namespace config_center
