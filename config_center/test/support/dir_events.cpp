#include "support/dir_events.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <thread>

namespace config_center::test {

DirEvents::DirEvents(const std::string& dir, uint32_t mask)
    : dir_(dir), mask_(mask), fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
  Watch();
}

bool DirEvents::Watch() {
  watching_ = fd_ >= 0 && ::inotify_add_watch(fd_, dir_.c_str(), mask_) >= 0;
  return watching_;
}

DirEvents::~DirEvents() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::string> DirEvents::Wait(std::chrono::milliseconds timeout) {
  std::vector<std::string> names;
  if (!watching_ && !Watch()) {
    std::this_thread::sleep_for(timeout);
    return names;
  }
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return names;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return names;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // The directory went (IN_IGNORED): watch it again once it is back.
      if ((event->mask & IN_IGNORED) != 0) watching_ = false;
      names.emplace_back(event->len > 0 ? event->name : "");
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace config_center::test
