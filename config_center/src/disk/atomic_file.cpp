#include "disk/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace config_center {

namespace {

// Hidden, so that a reader listing a directory never picks up a half-written file.
constexpr char kTempPrefix[] = ".tmp_config_";
// mkstemp's six characters after the prefix.
constexpr size_t kTempNameSize = sizeof kTempPrefix - 1 + 6;

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

bool IsTemporaryName(const std::string& name) {
  return name.size() == kTempNameSize && name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) == 0;
}

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
