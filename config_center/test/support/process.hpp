#ifndef CONFIG_CENTER_TEST_SUPPORT_PROCESS_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_PROCESS_HPP_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace config_center::test {

// A child process started from PATH whose standard output and error are collected, so a
// test can wait for what it prints, signal it and read its exit status.
class Process {
public:
  explicit Process(std::vector<std::string> argv);
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Waits until the output from the cursor on holds `text`; moves the cursor past it.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout);
  // As above; `seen` gets the time the reader thread received the output that completed
  // `text`, which a woken waiter may only get to noticeably later.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout,
               std::chrono::steady_clock::time_point* seen);
  // Everything printed so far.
  std::string Output() const;
  // How often `text` occurs in everything printed so far.
  size_t Count(const std::string& text) const;

  void Signal(int signal_number) const;
  // The stacks of every thread of the child (through gdb), for a test to show why the child
  // hangs; a note instead when gdb is not there.
  std::string Stacks() const;
  // The exit status (or 128 + signal), or nothing when it did not end in time.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();

  pid_t pid() const { return pid_; }

private:
  void ReadOutput(int fd);

  pid_t pid_ = -1;
  std::optional<int> status_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string output_;
  // (size of output_ after a read, when that read returned), in arrival order.
  std::vector<std::pair<size_t, std::chrono::steady_clock::time_point>> arrivals_;
  size_t cursor_ = 0;
  bool closed_ = false;
};

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_PROCESS_HPP_
