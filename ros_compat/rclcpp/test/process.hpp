// Test support: runs helper programs as child processes (own ROS_DOMAIN_ID shared with the
// test), reads their stdout line by line with a deadline, signals them and collects the exit.
#ifndef RCLCPP_TEST_PROCESS_HPP_
#define RCLCPP_TEST_PROCESS_HPP_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

/// Gives this test process (and the children it starts) a DDS domain of its own, so tests
/// can run in parallel. Must run before the first node or executor is created.
inline void use_private_domain() {
  const int domain = 1 + static_cast<int>(getpid() % 220);
  setenv("ROS_DOMAIN_ID", std::to_string(domain).c_str(), 1);
}

inline std::string program_path(const std::string& name) {
  const char* dir = std::getenv("TEST_PROGRAMS_DIR");
  return std::string(dir ? dir : TEST_PROGRAMS_DIR) + "/" + name;
}

class Child {
public:
  explicit Child(const std::vector<std::string>& argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) std::abort();
    // Built before fork: the child of a multi-threaded process may only exec.
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    fd_ = out[0];
  }

  ~Child() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) close(fd_);
  }

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// Next stdout line, or "" when none came within `timeout` (or the child closed stdout).
  std::string read_line(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[512];
      const ssize_t n = read(fd_, chunk, sizeof(chunk));
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  /// Reads lines until one starts with `prefix`; returns it ("" on timeout).
  std::string wait_for_line(const std::string& prefix,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      std::string line = read_line(left);
      if (line.rfind(prefix, 0) == 0) return line;
      if (line.empty() && std::chrono::steady_clock::now() >= deadline) return "";
    }
  }

  void signal(int signum) { kill(pid_, signum); }

  /// Exit status (or 128 + signal), or -1 when the child is still running after `timeout`.
  int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  pid_t pid() const { return pid_; }

private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool exited_ = false;
  std::string buffer_;
};

}  // namespace test_support

#endif  // RCLCPP_TEST_PROCESS_HPP_
