#include "files/config_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace config_center {

namespace {

// Hidden, so that a reader listing the configs directory never picks up a half-written file.
constexpr char kTempPrefix[] = ".tmp_config_";
// mkstemp's six characters after the prefix.
constexpr size_t kTempNameSize = sizeof kTempPrefix - 1 + 6;
constexpr mode_t kDirectoryMode = 0750;

// The components of a relative name, in order ("a/b/c" -> a, b, c).
std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    parts.push_back(name.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

size_t SweepDirectory(int dir_fd) {
  DIR* dir = ::fdopendir(dir_fd);
  if (dir == nullptr) {
    ::close(dir_fd);
    return 0;
  }
  size_t removed = 0;
  std::vector<std::string> subdirectories;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string entry_name = entry->d_name;
    if (entry_name == "." || entry_name == "..") continue;
    struct stat info {};
    if (::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      subdirectories.push_back(entry_name);
    } else if (S_ISREG(info.st_mode) && entry_name.size() == kTempNameSize &&
               entry_name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) == 0 &&
               ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0) {
      ++removed;
    }
  }
  for (const std::string& sub : subdirectories) {
    const int fd =
        ::openat(::dirfd(dir), sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) removed += SweepDirectory(fd);
  }
  ::closedir(dir);
  return removed;
}

bool WriteAll(int fd, const std::string& contents) {
  const char* data = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

bool SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  return (::close(fd) == 0) && synced;
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ConfigFilePath(const std::string& configs_dir, const std::string& name, std::string* path,
                    std::string* why) {
  if (name.empty()) {
    *why = "the name is empty";
    return false;
  }
  if (name.find('\0') != std::string::npos) {
    *why = "the name holds a NUL byte";
    return false;
  }
  if (name.front() == '/') {
    *why = "the name is an absolute path";
    return false;
  }
  for (const std::string& part : Components(name)) {
    if (part == "..") {
      *why = "the name has a \"..\" component";
      return false;
    }
    // "." and empty components would give one file two names, and so two targets.
    if (part == ".") {
      *why = "the name has a \".\" component";
      return false;
    }
    if (part.empty()) {
      *why = "the name has an empty component (\"//\" or a trailing \"/\")";
      return false;
    }
    if (part.size() > NAME_MAX) {
      *why = "a component of the name is longer than " + std::to_string(NAME_MAX) + " bytes";
      return false;
    }
  }
  *path = configs_dir + name;
  return true;
}

DirectoriesMade MakeConfigDirectories(const std::string& configs_dir, const std::string& name,
                                      std::string* error) {
  const std::vector<std::string> parts = Components(name);
  if (parts.size() < 2) return DirectoriesMade::kReady;
  int dir_fd = ::open(configs_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) {
    *error = ErrnoText("open of the configs directory");
    return DirectoriesMade::kBlocked;
  }
  std::string walked;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    const char* part = parts[i].c_str();
    walked += parts[i] + "/";
    int next = ::openat(dir_fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT) {
      // Another writer may make it first; that is as good.
      if (::mkdirat(dir_fd, part, kDirectoryMode) != 0 && errno != EEXIST) {
        *error = ErrnoText(("mkdir " + walked).c_str());
        ::close(dir_fd);
        return DirectoriesMade::kBlocked;
      }
      // The new directory must outlast a crash as the file written into it will.
      ::fsync(dir_fd);
      next = ::openat(dir_fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      *error = ErrnoText(("open " + walked).c_str());
      struct stat info {};
      if (::fstatat(dir_fd, part, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
        *error = walked + " is a symbolic link, which is not followed";
      }
      ::close(dir_fd);
      return DirectoriesMade::kBlocked;
    }
    ::close(dir_fd);
    dir_fd = next;
  }
  ::close(dir_fd);
  return DirectoriesMade::kReady;
}

size_t SweepTemporaries(const std::string& configs_dir) {
  const int fd = ::open(configs_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd < 0 ? 0 : SweepDirectory(fd);
}

WriteStep WriteTemporary(const std::string& path, const std::string& contents, bool sync,
                         std::string* temp_path, std::string* error) {
  std::string temp_template = DirectoryOf(path) + kTempPrefix + "XXXXXX";
  std::vector<char> name(temp_template.begin(), temp_template.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    *error = ErrnoText("mkstemp");
    return WriteStep::kCreateTemp;
  }
  bool written = WriteAll(fd, contents);
  if (!written) *error = ErrnoText("write");
  if (written && sync && ::fsync(fd) != 0) {
    *error = ErrnoText("fsync");
    written = false;
  }
  if (::close(fd) != 0 && written) {
    *error = ErrnoText("close");
    written = false;
  }
  if (!written) {
    ::unlink(name.data());
    return WriteStep::kWriteTemp;
  }
  temp_path->assign(name.data());
  return WriteStep::kNone;
}

WriteStep WriteFileAtomically(const std::string& path, const std::string& contents,
                              std::string* error) {
  std::string temp_path;
  const WriteStep written = WriteTemporary(path, contents, /*sync=*/true, &temp_path, error);
  if (written != WriteStep::kNone) {
    return written;
  }
  if (std::rename(temp_path.c_str(), path.c_str()) != 0) {
    *error = ErrnoText("rename");
    ::unlink(temp_path.c_str());
    return WriteStep::kReplaceTarget;
  }
  if (!SyncDirectory(DirectoryOf(path))) {
    *error = ErrnoText("fsync of the directory");
    return WriteStep::kSyncDirectory;
  }
  return WriteStep::kNone;
}

}  // namespace config_center
