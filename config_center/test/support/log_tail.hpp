#ifndef CONFIG_CENTER_TEST_SUPPORT_LOG_TAIL_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_LOG_TAIL_HPP_

#include <chrono>
#include <string>

#include "support/dir_events.hpp"

namespace config_center::test {

class Process;

// The node's log of today, read from where it ended when the tail was made, so that each test
// sees its own lines. Waits wake when the log directory changes.
class LogTail {
public:
  using Clock = std::chrono::steady_clock;

  LogTail();
  LogTail(const LogTail&) = delete;
  LogTail& operator=(const LogTail&) = delete;
  ~LogTail();

  // Waits until the log from the cursor on holds `text`; moves the cursor past it.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout);
  // As above, but gives up as soon as `writer` has ended; `seen` gets the time the text was
  // read (it may be null).
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout, Process& writer,
               Clock::time_point* seen);

  // The log written since this tail was made.
  const std::string& Since();
  size_t Count(const std::string& text) { return CountIn(Since(), text); }
  static size_t CountIn(const std::string& haystack, const std::string& text);
  // Today's log file.
  static std::string Path();

private:
  bool Wait(const std::string& text, std::chrono::milliseconds timeout, Process* writer,
            Clock::time_point* seen);
  void ReadNew();

  std::string path_;
  size_t start_ = 0;
  int file_ = -1;
  std::string text_;  // the log from start_ on, as far as it was read
  size_t cursor_ = 0;
  DirEvents events_;
};

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_LOG_TAIL_HPP_
