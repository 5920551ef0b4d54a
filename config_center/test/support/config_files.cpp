#include "support/config_files.hpp"

#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "support/dir_events.hpp"

namespace config_center::test {

bool ReadFile(const std::string& path, std::string* contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *contents = out.str();
  return true;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

namespace {

// One watch per directory, kept for the whole process, so that no wait pays for closing one.
// Events left over from earlier waits only cause one more look.
DirEvents& EventsIn(const std::string& dir) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<DirEvents>> watches;
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<DirEvents>& events = watches[dir];
  if (!events) {
    events = std::make_unique<DirEvents>(
        dir, IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE);
  }
  return *events;
}

}  // namespace

bool WaitForFile(const std::string& path, const std::string* contents,
                 std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  // Watched before the first look, so that no change between the two goes unseen.
  DirEvents& events = EventsIn(path.substr(0, path.rfind('/') + 1));
  for (;;) {
    std::string now;
    const bool exists = ReadFile(path, &now);
    if (contents == nullptr ? !exists : (exists && now == *contents)) return true;
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    // A directory made after the watch sends nothing: look again after a while regardless.
    events.Wait(std::min(std::chrono::ceil<std::chrono::milliseconds>(left),
                         std::chrono::milliseconds(10)));
  }
}

void RemoveConfigs() {
  for (const auto& entry : std::filesystem::directory_iterator(kConfigs)) {
    std::filesystem::remove_all(entry.path());
  }
  std::filesystem::remove(RecordPath());
}

std::string RecordPath() {
  const char* state = std::getenv("STATE_DIRECTORY");
  return std::string(state != nullptr ? state : "/var/lib/config_center") + "/distributed";
}

}  // namespace config_center::test
