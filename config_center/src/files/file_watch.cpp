#include "files/file_watch.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "disk/atomic_file.hpp"
#include "files/config_paths.hpp"

namespace config_center {

namespace {

// What makes a managed file differ from what was written: its bytes, its inode (a rename
// onto it, a new file after a removal), its mode or owner, its going away. IN_MODIFY as well
// as IN_CLOSE_WRITE: a writer that keeps its file open is seen too. The directory's own going
// away (removed, moved) ends its watch.
constexpr uint32_t kMask = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_TO | IN_MOVED_FROM |
                           IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                           IN_EXCL_UNLINK;

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

FileWatch::FileWatch(std::string configs_dir, std::function<void()> on_touched)
    : configs_dir_(std::move(configs_dir)), on_touched_(std::move(on_touched)) {
  inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_fd_ < 0) {
    error_ = ErrnoText("inotify_init1");
    return;
  }
  stop_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (stop_fd_ < 0) {
    error_ = ErrnoText("eventfd");
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

FileWatch::~FileWatch() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    if (::write(stop_fd_, &one, sizeof one) < 0) {
      // Nothing else can end the thread; an eventfd write fails only on overflow.
    }
    thread_.join();
  }
  if (stop_fd_ >= 0) ::close(stop_fd_);
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
}

bool FileWatch::Manage(const std::string& name, std::string* why) {
  if (!error_.empty()) {
    if (why != nullptr) *why = error_;
    return false;
  }
  std::string path;
  std::string refused;
  if (!ConfigFilePath(configs_dir_, name, &path, &refused)) {
    if (why != nullptr) *why = refused;
    return false;
  }
  const std::string dir = DirectoryOf(path);
  std::lock_guard<std::mutex> lock(mutex_);
  Directory& watched = dirs_[dir];
  watched.files.insert(BaseName(path));
  if (watched.wd >= 0) return true;
  // inotify hands back the same descriptor for a directory it already watches: a directory
  // that was watched, removed and made again gets a new one.
  const int wd = ::inotify_add_watch(inotify_fd_, dir.c_str(), kMask);
  if (wd < 0) {
    if (why != nullptr) *why = ErrnoText(("cannot watch " + dir).c_str());
    return false;
  }
  watched.wd = wd;
  by_wd_[wd] = dir;
  return true;
}

void FileWatch::Forget(const std::string& name) {
  std::string path;
  std::string refused;
  if (!ConfigFilePath(configs_dir_, name, &path, &refused)) return;
  const std::string dir = DirectoryOf(path);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = dirs_.find(dir);
  if (it == dirs_.end()) return;
  it->second.files.erase(BaseName(path));
  touched_.erase(name);
  if (!it->second.files.empty()) return;
  if (it->second.wd >= 0) {
    ::inotify_rm_watch(inotify_fd_, it->second.wd);
    by_wd_.erase(it->second.wd);
  }
  dirs_.erase(it);
}

std::vector<std::string> FileWatch::TakeTouched() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names(touched_.begin(), touched_.end());
  touched_.clear();
  return names;
}

size_t FileWatch::watched_directories() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return by_wd_.size();
}

void FileWatch::Run() {
  pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents != 0) ReadEvents();
  }
}

void FileWatch::ReadEvents() {
  alignas(inotify_event) char buffer[64 * 1024];
  bool any = false;
  for (;;) {
    const ssize_t length = ::read(inotify_fd_, buffer, sizeof buffer);
    if (length <= 0) break;  // EAGAIN: drained
    std::lock_guard<std::mutex> lock(mutex_);
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        // Events were lost: every managed file may have been touched.
        for (const auto& [dir, watched] : dirs_) TouchAllIn(dir);
        any = true;
        continue;
      }
      const auto wd = by_wd_.find(event->wd);
      if (wd == by_wd_.end()) continue;
      const std::string dir = wd->second;
      if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
        // The directory went (or moved away): its files are gone from where they belong.
        TouchAllIn(dir);
        // A moved directory stays watched where it went: not ours any more.
        if ((event->mask & IN_MOVE_SELF) != 0) ::inotify_rm_watch(inotify_fd_, event->wd);
        DropWatch(event->wd);
        any = true;
        continue;
      }
      if (event->len == 0) continue;
      const std::string base(event->name);
      const Directory& watched = dirs_[dir];
      if (watched.files.count(base) != 0) {
        touched_.insert(dir.substr(configs_dir_.size()) + base);
        any = true;
      } else if ((event->mask & IN_ISDIR) != 0) {
        // A subdirectory that holds managed files was removed or renamed: its own watch says
        // so too, but only once its last reference goes; tell it now.
        const std::string sub = dir + base + "/";
        for (auto it = dirs_.lower_bound(sub); it != dirs_.end() && it->first.rfind(sub, 0) == 0;
             ++it) {
          if ((event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
            TouchAllIn(it->first);
            any = true;
          }
        }
      }
    }
  }
  if (any && on_touched_) on_touched_();
}

void FileWatch::TouchAllIn(const std::string& dir) {
  const auto it = dirs_.find(dir);
  if (it == dirs_.end()) return;
  for (const std::string& base : it->second.files) {
    touched_.insert(dir.substr(configs_dir_.size()) + base);
  }
}

void FileWatch::DropWatch(int wd) {
  const auto it = by_wd_.find(wd);
  if (it == by_wd_.end()) return;
  const auto dir = dirs_.find(it->second);
  if (dir != dirs_.end()) dir->second.wd = -1;
  by_wd_.erase(it);
}

}  // namespace config_center
