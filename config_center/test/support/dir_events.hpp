#ifndef CONFIG_CENTER_TEST_SUPPORT_DIR_EVENTS_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_DIR_EVENTS_HPP_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace config_center::test {

// What happens in one directory, through inotify, so that a wait wakes when a file there
// changes instead of polling. A directory that cannot be watched (it does not exist yet)
// reports nothing; Wait then only sleeps, and the caller's next look finds the change.
class DirEvents {
public:
  // `mask`: the inotify events to report (IN_MODIFY, IN_MOVED_TO, ...).
  DirEvents(const std::string& dir, uint32_t mask);
  ~DirEvents();
  DirEvents(const DirEvents&) = delete;
  DirEvents& operator=(const DirEvents&) = delete;

  // Waits at most `timeout` for events and returns the names of the files they concern, in
  // order (empty when none came).
  std::vector<std::string> Wait(std::chrono::milliseconds timeout);

private:
  int fd_ = -1;
  bool watching_ = false;
};

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_DIR_EVENTS_HPP_
