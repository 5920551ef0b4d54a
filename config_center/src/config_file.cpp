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
