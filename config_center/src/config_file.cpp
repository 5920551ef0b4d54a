#include "config_center/config_file.hpp"

#include <fcntl.h>
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

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

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

bool SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  return (::close(fd) == 0) && synced;
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
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) {
      *why = "the name has a \"..\" component";
      return false;
    }
    start = end + 1;
  }
  *path = configs_dir + name;
  return true;
}

WriteStep WriteFileAtomically(const std::string& path, const std::string& contents,
                              std::string* error) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string temp_template = dir + kTempPrefix + "XXXXXX";
  std::vector<char> temp_path(temp_template.begin(), temp_template.end());
  temp_path.push_back('\0');

  const int fd = ::mkstemp(temp_path.data());
  if (fd < 0) {
    *error = ErrnoText("mkstemp");
    return WriteStep::kCreateTemp;
  }
  bool written = WriteAll(fd, contents);
  if (!written) *error = ErrnoText("write");
  if (written && ::fsync(fd) != 0) {
    *error = ErrnoText("fsync");
    written = false;
  }
  if (::close(fd) != 0 && written) {
    *error = ErrnoText("close");
    written = false;
  }
  if (!written) {
    ::unlink(temp_path.data());
    return WriteStep::kWriteTemp;
  }
  if (std::rename(temp_path.data(), path.c_str()) != 0) {
    *error = ErrnoText("rename");
    ::unlink(temp_path.data());
    return WriteStep::kReplaceTarget;
  }
  if (!SyncDirectory(dir)) {
    *error = ErrnoText("fsync of the directory");
    return WriteStep::kSyncDirectory;
  }
  return WriteStep::kNone;
}

}  // namespace config_center
