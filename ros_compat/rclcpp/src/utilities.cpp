#include "rclcpp/utilities.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace rclcpp {

namespace {

// Signals are only noted in the handler (a byte into a pipe); a thread does the shutdown.
class SignalHandler {
public:
  static SignalHandler& instance() {
    static SignalHandler handler;
    return handler;
  }

  bool install(SignalHandlerOptions options) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (installed_) return false;
    if (options == SignalHandlerOptions::None) {
      options_ = options;
      return true;
    }
    if (pipe_[0] < 0) {
      if (pipe2(pipe_, O_CLOEXEC) != 0) return false;
      fcntl(pipe_[1], F_SETFL, O_NONBLOCK);
      write_fd_.store(pipe_[1]);
    }
    options_ = options;
    if (options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigInt) {
      set_handler(SIGINT, &old_sigint_);
    }
    if (options == SignalHandlerOptions::All || options == SignalHandlerOptions::SigTerm) {
      set_handler(SIGTERM, &old_sigterm_);
    }
    installed_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
  }

  bool uninstall() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!installed_) {
      options_ = SignalHandlerOptions::None;
      return false;
    }
    if (options_ == SignalHandlerOptions::All || options_ == SignalHandlerOptions::SigInt) {
      sigaction(SIGINT, &old_sigint_, nullptr);
    }
    if (options_ == SignalHandlerOptions::All || options_ == SignalHandlerOptions::SigTerm) {
      sigaction(SIGTERM, &old_sigterm_, nullptr);
    }
    installed_ = false;
    options_ = SignalHandlerOptions::None;
    stop_thread();
    return true;
  }

  bool installed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return installed_;
  }

  SignalHandlerOptions options() {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_;
  }

  ~SignalHandler() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_thread();
  }

private:
  static constexpr char kStop = 0;

  void set_handler(int signum, struct sigaction* old) {
    struct sigaction action {};
    action.sa_sigaction = &SignalHandler::on_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(signum, &action, old);
  }

  static void on_signal(int signum, siginfo_t* info, void* context) {
    SignalHandler& self = instance();
    const int saved_errno = errno;
    const int fd = self.write_fd_.load();
    if (fd >= 0) {
      const char byte = static_cast<char>(signum);
      ssize_t ignored = write(fd, &byte, 1);
      (void)ignored;
    }
    // Chain a handler that was installed before ours.
    const struct sigaction& old = signum == SIGINT ? self.old_sigint_ : self.old_sigterm_;
    if (old.sa_flags & SA_SIGINFO) {
      if (old.sa_sigaction != nullptr) old.sa_sigaction(signum, info, context);
    } else if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN &&
               old.sa_handler != nullptr) {
      old.sa_handler(signum);
    }
    errno = saved_errno;
  }

  void run() {
    for (;;) {
      char byte = 0;
      ssize_t n = read(pipe_[0], &byte, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || byte == kStop) return;
      for (auto& context : get_contexts()) {
        if (context->get_init_options().shutdown_on_signal) context->shutdown("signal handler");
      }
    }
  }

  void stop_thread() {
    if (!thread_.joinable()) return;
    const char byte = kStop;
    ssize_t ignored = write(pipe_[1], &byte, 1);
    (void)ignored;
    thread_.join();
  }

  std::mutex mutex_;
  bool installed_ = false;
  SignalHandlerOptions options_ = SignalHandlerOptions::None;
  int pipe_[2] = {-1, -1};
  std::atomic<int> write_fd_{-1};
  struct sigaction old_sigint_ {};
  struct sigaction old_sigterm_ {};
  std::thread thread_;
};

Context::SharedPtr resolve(Context::SharedPtr context) {
  return context ? context : contexts::get_global_default_context();
}

}  // namespace

void init(int argc, char const* const* argv, const InitOptions& init_options,
          SignalHandlerOptions signal_handler_options) {
  contexts::get_global_default_context()->init(argc, argv, init_options);
  install_signal_handlers(signal_handler_options);
}

bool install_signal_handlers(SignalHandlerOptions signal_handler_options) {
  return SignalHandler::instance().install(signal_handler_options);
}

bool signal_handlers_installed() { return SignalHandler::instance().installed(); }

SignalHandlerOptions get_current_signal_handler_options() {
  return SignalHandler::instance().options();
}

bool uninstall_signal_handlers() { return SignalHandler::instance().uninstall(); }

std::vector<std::string> init_and_remove_ros_arguments(int argc, char const* const* argv,
                                                       const InitOptions& init_options) {
  init(argc, argv, init_options);
  return remove_ros_arguments(argc, argv);
}

std::vector<std::string> remove_ros_arguments(int argc, char const* const* argv) {
  std::vector<std::string> out;
  bool in_ros_args = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ros-args") {
      in_ros_args = true;
    } else if (in_ros_args && arg == "--") {
      in_ros_args = false;
    } else if (!in_ros_args) {
      out.push_back(arg);
    }
  }
  return out;
}

bool ok(Context::SharedPtr context) { return resolve(context)->is_valid(); }

bool is_initialized(Context::SharedPtr context) { return ok(context); }

bool shutdown(Context::SharedPtr context, const std::string& reason) {
  auto default_context = contexts::get_global_default_context();
  auto target = resolve(context);
  const bool ret = target->shutdown(reason);
  if (target == default_context) uninstall_signal_handlers();
  return ret;
}

void on_shutdown(std::function<void()> callback, Context::SharedPtr context) {
  resolve(context)->on_shutdown(callback);
}

bool sleep_for(const std::chrono::nanoseconds& nanoseconds, Context::SharedPtr context) {
  return resolve(context)->sleep_for(nanoseconds);
}

}  // namespace rclcpp
