#include "bench_startup/file_watch.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <stdexcept>

#include "support/config_files.hpp"

namespace config_center::bench {

FileWatch::FileWatch(const std::vector<std::string>& dirs) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("inotify_init1 failed");
  for (const std::string& dir : dirs) {
    const int wd = ::inotify_add_watch(fd_, (std::string(test::kConfigs) + dir).c_str(),
                                       IN_MOVED_TO | IN_CLOSE_WRITE);
    if (wd < 0) {
      ::close(fd_);
      throw std::runtime_error("cannot watch " + dir);
    }
    dirs_[wd] = dir;
  }
  reader_ = std::thread([this] { Run(); });
}

FileWatch::~FileWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  reader_.join();
  ::close(fd_);
}

void FileWatch::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  last_event_.clear();
  overflowed_ = false;
}

bool FileWatch::SeenAll(int count, const std::vector<std::string>& names, Clock::time_point* last) {
  if (static_cast<int>(last_event_.size()) < count) return false;
  *last = Clock::time_point::min();
  for (const std::string& name : names) {
    const auto seen = last_event_.find(name);
    if (seen == last_event_.end()) return false;
    *last = std::max(*last, seen->second);
  }
  return true;
}

void FileWatch::Run() {
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    const auto when = Clock::now();
    if (n <= 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) overflowed_ = true;
      const auto dir = dirs_.find(event->wd);
      if (dir == dirs_.end() || event->len == 0 || event->name[0] == '.') continue;
      last_event_[dir->second + "/" + event->name] = when;
    }
    seen_.notify_all();
  }
}

}  // namespace config_center::bench
