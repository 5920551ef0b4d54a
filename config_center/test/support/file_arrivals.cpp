#include "support/file_arrivals.hpp"

#include <sys/inotify.h>

#include <vector>

#include "support/config_files.hpp"

namespace config_center::test {

FileArrivals::FileArrivals(const std::string& dir)
    : dir_(dir), events_(dir, IN_MOVED_TO | IN_CLOSE_WRITE), reader_([this] { Run(); }) {}

FileArrivals::~FileArrivals() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  reader_.join();
}

void FileArrivals::Run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return;
    }
    const std::vector<std::string> names = events_.Wait(std::chrono::milliseconds(50));
    const auto when = Clock::now();
    if (names.empty()) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& name : names) {
      if (!name.empty()) arrivals_.emplace_back(name, when);
    }
    arrived_.notify_all();
  }
}

bool FileArrivals::WaitFor(const std::string& name, const std::string& contents,
                           Clock::time_point since, Clock::time_point deadline,
                           Clock::time_point* seen) {
  const std::string path = dir_ + name;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (!arrivals_.empty()) {
      const auto [arrived, when] = arrivals_.front();
      arrivals_.pop_front();
      if (arrived != name || when < since) continue;
      lock.unlock();
      std::string now;
      const bool holds = ReadFile(path, &now) && now == contents;
      lock.lock();
      if (holds) {
        *seen = when;
        return true;
      }
    }
    if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout && arrivals_.empty()) {
      return false;
    }
  }
}

}  // namespace config_center::test
