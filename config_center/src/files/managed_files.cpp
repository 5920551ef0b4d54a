#include "files/managed_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "disk/atomic_file.hpp"
#include "disk/value_digest.hpp"
#include "files/config_paths.hpp"

namespace config_center {

namespace {

constexpr mode_t kFileMode = 0600;

}  // namespace

bool ManagedFiles::Signature::operator==(const Signature& other) const {
  return inode == other.inode && size == other.size && mode == other.mode && owner == other.owner &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

void ManagedFiles::Wrote(const std::string& name, const std::string& sha256) {
  // Not signed yet: the file may already differ (another party may have changed it between
  // the node's rename and now). The first look (the node's own write is seen by the watch)
  // reads it and signs it when it holds these bytes with mode 0600.
  Written& written = files_[name];
  written.sha256 = sha256;
  written.signed_ = false;
}

void ManagedFiles::Forget(const std::string& name) { files_.erase(name); }

bool ManagedFiles::Intact(const std::string& name, std::string* how) {
  const auto it = files_.find(name);
  if (it == files_.end()) return true;  // not managed: nothing to keep
  std::string path;
  std::string why;
  if (!ConfigFilePath(configs_dir_, name, &path, &why)) return true;
  Signature now;
  std::string sha256;
  if (!Read(path, &now, &sha256, how)) return false;
  if (it->second.signed_ && now == it->second.signature) return true;
  if ((now.mode & 07777) != kFileMode) {
    char text[64];
    std::snprintf(text, sizeof text, "its mode is %04o, not %04o", now.mode & 07777, kFileMode);
    *how = text;
    return false;
  }
  if (sha256 != it->second.sha256) {
    *how = "its content was changed";
    return false;
  }
  // Same bytes and mode (touched, or written again with the same content): still intact,
  // and the new signature saves the next look a read.
  it->second.signature = now;
  it->second.signed_ = true;
  return true;
}

bool ManagedFiles::Read(const std::string& path, Signature* signature, std::string* sha256,
                        std::string* how) const {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    *how = errno == ENOENT ? "it was removed" : ErrnoText("it cannot be read");
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    *how = "it is no longer a regular file";
    return false;
  }
  *signature = {info.st_ino, info.st_size, info.st_mode, info.st_uid, info.st_mtim};
  std::string contents;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      ::close(fd);
      *how = ErrnoText("it cannot be read");
      return false;
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  *sha256 = Sha256Hex(contents);
  return true;
}

}  // namespace config_center
