#include "support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace config_center::test {

Process::Process(std::vector<std::string> argv) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  const int error = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (error != 0) {
    ::close(pipe_fds[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
  reader_ = std::thread([this, fd = pipe_fds[0]] { ReadOutput(fd); });
}

Process::~Process() {
  if (!status_ && Running()) {
    Signal(SIGKILL);
    Wait(std::chrono::seconds(5));
  }
  if (reader_.joinable()) reader_.join();
}

void Process::ReadOutput(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(buffer, static_cast<size_t>(n));
    arrivals_.emplace_back(output_.size(), now);
    changed_.notify_all();
  }
  ::close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

bool Process::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
  return WaitFor(text, timeout, nullptr);
}

bool Process::WaitFor(const std::string& text, std::chrono::milliseconds timeout,
                      std::chrono::steady_clock::time_point* seen) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t found = std::string::npos;
  changed_.wait_for(lock, timeout, [&] {
    found = output_.find(text, cursor_);
    return found != std::string::npos || closed_;
  });
  if (found == std::string::npos) found = output_.find(text, cursor_);
  if (found == std::string::npos) return false;
  cursor_ = found + text.size();
  if (seen != nullptr) {
    const auto arrival =
        std::lower_bound(arrivals_.begin(), arrivals_.end(), cursor_,
                         [](const auto& entry, size_t end) { return entry.first < end; });
    *seen = arrival->second;
  }
  return true;
}

std::string Process::Output() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_;
}

size_t Process::Count(const std::string& text) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) {
    ++count;
  }
  return count;
}

void Process::Signal(int signal_number) const {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

bool Process::Running() {
  if (status_) return false;
  return !Wait(std::chrono::milliseconds(0)).has_value();
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      // What it wrote last may still be in the pipe: Output() after Wait() holds all of it
      // (unless a child of its own keeps the pipe open; that wait is bounded).
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::seconds(1), [this] { return closed_; });
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::string Process::Stacks() const {
  const std::string command =
      "gdb -p " + std::to_string(pid_) + " -batch -ex 'thread apply all bt' 2>&1";
  std::string stacks;
  if (FILE* gdb = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, gdb)) > 0) stacks.append(buffer, got);
    ::pclose(gdb);
  }
  return stacks.empty() ? "(no stacks: gdb did not run)" : stacks;
}

}  // namespace config_center::test
