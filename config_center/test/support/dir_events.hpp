#ifndef CONFIG_CENTER_TEST_SUPPORT_DIR_EVENTS_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_DIR_EVENTS_HPP_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace config_center::test {

// What happens in one directory, through inotify, so that a wait wakes when a file there
// changes instead of polling. A directory that cannot be watched (it does not exist yet, or
// no more) reports nothing; Wait then tries again to watch it, sleeps out its time, and the
// caller's next look finds the change. Closing an inotify instance waits for a kernel grace
// period (docs/benchmarks.md, other figures), so a watch that a measurement waits on should
// be kept, not made anew for every wait.
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
  bool Watch();

  std::string dir_;
  uint32_t mask_;
  int fd_ = -1;
  bool watching_ = false;
};

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_DIR_EVENTS_HPP_
