#include <string>

#include "config_center/config_center.hpp"
#include "config_center/config_file.hpp"
#include "config_center/logging.hpp"

namespace config_center {

namespace {

// Logs a failed write of the item `name` in the words of the step that failed.
void LogWriteFailure(WriteStep step, const std::string& name, const std::string& error) {
  switch (step) {
    case WriteStep::kNone:
      break;
    case WriteStep::kCreateTemp:
      LOG_ERROR("Failed to create tmp config file for {}: {}", name, error);
      break;
    case WriteStep::kWriteTemp:
      LOG_ERROR("Failed to write tmp config file for {}: {}", name, error);
      break;
    case WriteStep::kReplaceTarget:
      LOG_ERROR("Failed to use tmpfile cover target file {}: {}", name, error);
      break;
    case WriteStep::kSyncDirectory:
      LOG_ERROR("Failed to sync config directory of {}: {}", name, error);
      break;
  }
}

}  // namespace

Outcome ConfigCenter::FileConfigDistribute(const ConfigData& item, ConfigFileBatch* batch) {
  LOG_DEBUG("FileConfigDistribute: {}", item.name);
  std::string path;
  std::string why;
  if (!ConfigFilePath(kConfigsDir, item.name, &path, &why)) {
    LOG_ERROR("Refused config file name \"{}\": {}", item.name, why);
    return Outcome::kNever;
  }
  std::string error;
  const WriteStep failed = batch != nullptr ? batch->Stage(item.name, path, item.value, &error)
                                            : WriteFileAtomically(path, item.value, &error);
  LogWriteFailure(failed, item.name, error);
  // A missing directory, a full disk or a missing permission can be mended while the node runs.
  return failed == WriteStep::kNone ? Outcome::kDone : Outcome::kLater;
}

bool ConfigCenter::CommitConfigFiles(ConfigFileBatch& batch) {
  const size_t staged = batch.staged();
  std::string name;
  std::string error;
  const WriteStep failed = batch.Commit(&name, &error);
  LogWriteFailure(failed, name, error);
  LOG_DEBUG("Config files in effect: {} written, {} already up to date", staged, batch.unchanged());
  return failed == WriteStep::kNone;
}

}  // namespace config_center
