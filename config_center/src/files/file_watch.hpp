#ifndef CONFIG_CENTER_FILE_WATCH_HPP_
#define CONFIG_CENTER_FILE_WATCH_HPP_

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace config_center {

// Tells which managed files under the configs directory someone touched, through inotify:
// written (modify, close after writing), replaced (a rename onto it), given another mode or
// owner, removed, or their directory removed or moved. Only the directories that hold managed
// files are watched, and an event for any other name in them is dropped at once: a
// directory may hold thousands of foreign files at no cost while they sit still. No polling:
// a thread of its own sleeps in poll() until the kernel has events, and then calls
// `on_touched` (from that thread), after which TakeTouched() gives the names.
//
// It reports the node's own writes too: telling them from another party's is the caller's
// (ManagedFiles compares what is on disk with what was written).
class FileWatch {
public:
  // `configs_dir` ends in '/'. `on_touched` must be cheap and must not throw.
  FileWatch(std::string configs_dir, std::function<void()> on_touched);
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // Empty when watching works; otherwise why not (inotify could not be set up).
  const std::string& error() const { return error_; }

  // Watches the file item `name` (a path below the configs directory, as ConfigFilePath
  // accepts it). Safe to call again, and it must be after each write of the file: a
  // directory that was missing, removed or moved is watched anew. Returns false with `why`
  // when its directory cannot be watched now.
  bool Manage(const std::string& name, std::string* why = nullptr);
  // Stops watching `name`; a directory left without managed files is no longer watched.
  void Forget(const std::string& name);

  // The managed names touched since the last call, each once, in name order.
  std::vector<std::string> TakeTouched();

  size_t watched_directories() const;

private:
  struct Directory {
    int wd = -1;
    std::set<std::string> files;  // base names of the managed files in it
  };
  void Run();
  void ReadEvents();
  void TouchAllIn(const std::string& dir);  // holds mutex_
  void DropWatch(int wd);                   // holds mutex_

  const std::string configs_dir_;
  std::function<void()> on_touched_;
  std::string error_;
  int inotify_fd_ = -1;
  int stop_fd_ = -1;

  mutable std::mutex mutex_;
  std::map<std::string, Directory> dirs_;  // directory path (with '/') -> what is watched there
  std::map<int, std::string> by_wd_;
  std::set<std::string> touched_;
  std::thread thread_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_FILE_WATCH_HPP_
