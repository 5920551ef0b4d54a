#include <unistd.h>
#include <cerrno>

#include <cstdio>
#include <string>

#include "node/config_center.hpp"
#include "files/config_file.hpp"
#include "logging/logging.hpp"

namespace config_center {

void ConfigCenter::DeleteParamConfig(const Target& target, const PendingChange& change) {
  if (!change.announced) {
    LOG_DEBUG("Delete node_name : {} ,  param {}", change.item.node_name, change.item.name);
  }
  // A parameter that is not set goes out: that is the withdrawal.
  rcl_interfaces::msg::Parameter parameter;
  parameter.name = change.item.name;
  CallSetParameters(target, std::move(parameter));
}

Outcome ConfigCenter::DeleteFileConfig(const ConfigTableChangesData& change, std::string* why) {
  LOG_DEBUG("Delete file config {}", change.name);
  std::string reason;
  const Outcome outcome = RemoveConfigItem(change.name, &reason);
  if (outcome == Outcome::kNever) {
    LOG_ERROR("Refused to delete config file \"{}\": {}", change.name, reason);
  } else if (outcome == Outcome::kDone && !reason.empty()) {
    // Nothing to remove: said, and handled all the same.
    LOG_ERROR("Failed to delete config file {}", change.name);
  } else if (outcome == Outcome::kLater) {
    LOG_ERROR("Failed to delete config file {}: {}", change.name, reason);
  }
  if (why != nullptr) *why = reason;
  return outcome;
}

Outcome ConfigCenter::RemoveConfigItem(const std::string& name, std::string* why) {
  std::string path;
  if (!ConfigFilePath(kConfigsDir, name, &path, why)) {
    return Outcome::kNever;
  }
  // Only files: a directory of that name is not the item's (and would go with it if empty).
  if (IsDirectory(path)) {
    *why = "\"" + name + "\" names a directory";
    return Outcome::kNever;
  }
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) {
      *why = "it does not exist";  // gone already: what a withdrawal wants
      return Outcome::kDone;
    }
    *why = ErrnoText("unlink");
    return Outcome::kLater;
  }
  // The removal must outlast a crash as a write does.
  if (!SyncDirectory(DirectoryOf(path))) {
    *why = ErrnoText("fsync of the directory");
    return Outcome::kLater;
  }
  return Outcome::kDone;
}

}  // namespace config_center
