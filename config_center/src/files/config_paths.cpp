#include "files/config_paths.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "disk/atomic_file.hpp"

namespace config_center {

namespace {

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
    } else if (S_ISREG(info.st_mode) && IsTemporaryName(entry_name) &&
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

}  // namespace

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

}  // namespace config_center
