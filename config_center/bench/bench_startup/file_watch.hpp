#ifndef CONFIG_CENTER_BENCH_STARTUP_FILE_WATCH_HPP_
#define CONFIG_CENTER_BENCH_STARTUP_FILE_WATCH_HPP_

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace config_center::bench {

// Files renamed into place or closed after writing under a few directories of the configs
// directory, through one inotify instance read by a thread of its own, each stamped with the
// time that thread read its event: when the file got its contents, seen from outside.
class FileWatch {
public:
  using Clock = std::chrono::steady_clock;

  // `dirs` relative to the configs directory; they must exist. Throws when one cannot be
  // watched.
  explicit FileWatch(const std::vector<std::string>& dirs);
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // Forgets what was seen so far.
  void Reset();
  // Waits until each of `count` files (relative names, from `name(i)`) had an event since the
  // last Reset; `last` gets the latest of their latest events. False when that did not happen
  // by `deadline`, or the kernel's event queue overflowed.
  template <typename NameOf>
  bool WaitForAll(int count, NameOf name, Clock::time_point deadline, Clock::time_point* last);

private:
  bool SeenAll(int count, const std::vector<std::string>& names, Clock::time_point* last);
  void Run();

  int fd_ = -1;
  std::map<int, std::string> dirs_;  // watch descriptor -> directory
  std::mutex mutex_;
  std::condition_variable seen_;
  std::map<std::string, Clock::time_point> last_event_;
  bool overflowed_ = false;
  bool stop_ = false;
  std::thread reader_;
};

template <typename NameOf>
bool FileWatch::WaitForAll(int count, NameOf name, Clock::time_point deadline,
                           Clock::time_point* last) {
  std::vector<std::string> names;
  names.reserve(count);
  for (int i = 0; i < count; ++i) names.push_back(name(i));
  std::unique_lock<std::mutex> lock(mutex_);
  while (!SeenAll(count, names, last)) {
    if (overflowed_) return false;
    if (seen_.wait_until(lock, deadline) == std::cv_status::timeout) {
      return SeenAll(count, names, last);
    }
  }
  return true;
}

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_STARTUP_FILE_WATCH_HPP_
