#ifndef CONFIG_CENTER_TEST_SUPPORT_FILE_ARRIVALS_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_FILE_ARRIVALS_HPP_

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "support/dir_events.hpp"

namespace config_center::test {

// Files renamed into or written in one directory, each stamped with the time a thread of its
// own read the event: when a file arrived, measured without the delay of a waiter waking up.
class FileArrivals {
public:
  using Clock = std::chrono::steady_clock;

  explicit FileArrivals(const std::string& dir);
  ~FileArrivals();
  FileArrivals(const FileArrivals&) = delete;
  FileArrivals& operator=(const FileArrivals&) = delete;

  // Waits for an event on `name` read at or after `since` after which the file holds
  // `contents`; `seen` gets the time that event was read.
  bool WaitFor(const std::string& name, const std::string& contents, Clock::time_point since,
               Clock::time_point deadline, Clock::time_point* seen);

private:
  void Run();

  std::string dir_;
  DirEvents events_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::pair<std::string, Clock::time_point>> arrivals_;
  bool stop_ = false;
  std::thread reader_;  // last: it starts once the rest is there
};

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_FILE_ARRIVALS_HPP_
