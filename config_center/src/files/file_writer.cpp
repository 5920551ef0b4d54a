#include "files/file_writer.hpp"

#include <unistd.h>

#include <cerrno>
#include <unordered_set>
#include <utility>

#include "disk/atomic_file.hpp"
#include "files/batch_writers.hpp"
#include "files/config_paths.hpp"
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

FileWriter::FileWriter(std::string configs_dir) : configs_dir_(std::move(configs_dir)) {}

size_t FileWriter::SweepTemporaries() { return config_center::SweepTemporaries(configs_dir_); }

bool FileWriter::Accepts(const PendingChange& change, std::string* why) {
  std::string path;
  if (ConfigFilePath(configs_dir_, change.item.name, &path, why)) return true;
  LOG_ERROR(change.withdraw ? "Refused to delete config file \"{}\": {}"
                            : "Refused config file name \"{}\": {}",
            change.item.name, *why);
  *why = "the file name \"" + change.item.name + "\" is refused: " + *why;
  return false;
}

void FileWriter::Apply(const Target&, const PendingChange& change, Finish finish) {
  std::string why;
  const bool first = !change.announced;
  Outcome outcome;
  if (change.withdraw) {
    outcome =
        first ? DeleteFileConfig(change.item.name, &why) : RemoveConfigItem(change.item.name, &why);
  } else {
    outcome = first ? FileConfigDistribute(change.item, &why) : WriteConfigItem(change.item, &why);
  }
  finish(outcome, why);
}

Outcome FileWriter::FileConfigDistribute(const ConfigData& item, std::string* why) {
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

Outcome FileWriter::WriteConfigItem(const ConfigData& item, std::string* why) {
  std::string path;
  if (!ConfigFilePath(configs_dir_, item.name, &path, why)) {
    return Outcome::kNever;
  }
  // A directory in its place can only be a directory's name, never a file item's.
  if (IsDirectory(path)) {
    *why = "\"" + item.name + "\" names a directory";
    return Outcome::kNever;
  }
  std::string error;
  if (MakeConfigDirectories(configs_dir_, item.name, &error) != DirectoriesMade::kReady) {
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

Outcome FileWriter::DeleteFileConfig(const std::string& name, std::string* why) {
  LOG_DEBUG("Delete file config {}", name);
  std::string reason;
  const Outcome outcome = RemoveConfigItem(name, &reason);
  if (outcome == Outcome::kNever) {
    LOG_ERROR("Refused to delete config file \"{}\": {}", name, reason);
  } else if (outcome == Outcome::kDone && !reason.empty()) {
    // Nothing to remove: said, and handled all the same.
    LOG_ERROR("Failed to delete config file {}", name);
  } else if (outcome == Outcome::kLater) {
    LOG_ERROR("Failed to delete config file {}: {}", name, reason);
  }
  if (why != nullptr) *why = reason;
  return outcome;
}

Outcome FileWriter::RemoveConfigItem(const std::string& name, std::string* why) {
  std::string path;
  if (!ConfigFilePath(configs_dir_, name, &path, why)) {
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

std::vector<ConfigData> FileWriter::ApplyTogether(const std::vector<ConfigData>& items) {
  std::vector<ConfigData> alone;
  std::vector<BatchWriters::File> files;
  // The directories this batch found or made: each is walked once, not once per file in it
  // (a start-up puts thousands of files into a few directories). One that goes away
  // meanwhile fails its files' staging, and they are tried alone.
  std::unordered_set<std::string> ready;
  for (const ConfigData& item : items) {
    std::string path;
    std::string error;
    if (!ConfigFilePath(configs_dir_, item.name, &path, &error)) {
      alone.push_back(item);  // refused there, with the reason
      continue;
    }
    std::string dir = DirectoryOf(path);
    if (ready.count(dir) == 0) {
      if (MakeConfigDirectories(configs_dir_, item.name, &error) != DirectoriesMade::kReady) {
        LOG_ERROR("Failed to make the directories of {}: {}", item.name, error);
        alone.push_back(item);
        continue;
      }
      ready.insert(dir);
    }
    files.push_back({&item, std::move(path), std::move(dir)});
  }
  BatchWriters writers(std::move(files), WritersFor(items.size(), ready.size()));
  // Named in one line for the batch, not one a file: a start-up of 50,000 items would
  // otherwise write (and flush) 40,000 lines from the writing threads.
  LOG_DEBUG("Putting {} config files into effect together ({} writing threads)", items.size(),
            writers.writers());
  for (ConfigData& item : writers.Run()) alone.push_back(std::move(item));
  LOG_DEBUG("Config files in effect: {} written, {} already up to date", writers.committed(),
            writers.unchanged());
  return alone;
}

}  // namespace config_center
