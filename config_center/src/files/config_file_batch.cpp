#include "files/config_file_batch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_set>

namespace config_center {

namespace {

// True when `path` is a regular file of mode 0600 holding exactly `contents`.
bool AlreadyHolds(const std::string& path, const std::string& contents) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat info {};
  bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 07777) == 0600 &&
              static_cast<size_t>(info.st_size) == contents.size();
  std::string buffer(same ? contents.size() : 0, '\0');
  size_t got = 0;
  while (same && got < buffer.size()) {
    const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
    if (n <= 0) {
      same = false;
      break;
    }
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return same && buffer == contents;
}

}  // namespace

ConfigFileBatch::~ConfigFileBatch() { RemoveTemporaries(); }

void ConfigFileBatch::RemoveTemporaries() {
  for (const Staged& file : staged_) {
    ::unlink(file.temp_path.c_str());
  }
  staged_.clear();
  paths_.clear();
}

void ConfigFileBatch::Drop(const std::string& path) {
  // Only a path staged before (a global item and then its custom one) needs the search.
  if (paths_.erase(path) == 0) return;
  const auto earlier = std::find_if(staged_.begin(), staged_.end(),
                                    [&](const Staged& file) { return file.path == path; });
  if (earlier != staged_.end()) {
    ::unlink(earlier->temp_path.c_str());
    staged_.erase(earlier);
  }
}

WriteStep ConfigFileBatch::Stage(const std::string& name, const std::string& path,
                                 const std::string& contents, std::string* error) {
  // Only the last content staged for a target counts, so that is what the target is
  // compared with.
  Drop(path);
  if (AlreadyHolds(path, contents)) {
    ++unchanged_;
    return WriteStep::kNone;
  }
  std::string temp_path;
  const WriteStep written = WriteTemporary(path, contents, /*sync=*/false, &temp_path, error);
  if (written == WriteStep::kNone) {
    staged_.push_back({name, path, std::move(temp_path)});
    paths_.insert(path);
  }
  return written;
}

std::vector<ConfigFileBatch::Failure> ConfigFileBatch::Commit() {
  std::set<dev_t> flushed;
  std::vector<Failure> failures = Flush(&flushed);
  if (!failures.empty()) return failures;
  return Replace();
}

std::vector<ConfigFileBatch::Failure> ConfigFileBatch::Flush(std::set<dev_t>* flushed) {
  std::vector<Failure> failures;
  // One flush per filesystem makes every temporary file's content durable before any of
  // them replaces its target.
  std::unordered_set<std::string> looked_at;  // directories whose filesystem is flushed
  for (const Staged& file : staged_) {
    const std::string dir_path = DirectoryOf(file.path);
    if (!looked_at.insert(dir_path).second) continue;
    struct stat dir {};
    if (::stat(dir_path.c_str(), &dir) == 0 && flushed->count(dir.st_dev) != 0) {
      continue;
    }
    const int fd = ::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    const std::string error = synced ? "" : ErrnoText("syncfs");
    if (fd >= 0) ::close(fd);
    if (!synced) {
      for (const Staged& unsynced : staged_) {
        failures.push_back({unsynced.name, WriteStep::kWriteTemp, error});
      }
      RemoveTemporaries();
      return failures;
    }
    flushed->insert(dir.st_dev);
  }
  return failures;
}

std::vector<ConfigFileBatch::Failure> ConfigFileBatch::Replace() {
  std::vector<Failure> failures;
  std::map<std::string, std::string> directories;  // directory -> first item renamed into it
  for (const Staged& file : staged_) {
    if (std::rename(file.temp_path.c_str(), file.path.c_str()) != 0) {
      failures.push_back({file.name, WriteStep::kReplaceTarget, ErrnoText("rename")});
      ::unlink(file.temp_path.c_str());
      continue;
    }
    ++committed_;
    directories.emplace(DirectoryOf(file.path), file.name);
  }
  staged_.clear();
  paths_.clear();
  for (const auto& [dir, name] : directories) {
    if (!SyncDirectory(dir)) {
      failures.push_back({name, WriteStep::kSyncDirectory, ErrnoText("fsync of the directory")});
    }
  }
  return failures;
}

}  // namespace config_center
