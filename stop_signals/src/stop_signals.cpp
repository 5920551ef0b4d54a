#include "stop_signals/stop_signals.hpp"

#include <pthread.h>

#include <chrono>

#include <rclcpp/rclcpp.hpp>

namespace stop_signals {

StopSignals::StopSignals() {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  context_ = rclcpp::contexts::get_global_default_context();
  thread_ = std::thread([this] { Wait(); });
}

StopSignals::~StopSignals() { Finish(); }

void StopSignals::Finish() {
  if (!thread_.joinable()) return;
  leaving_ = true;
  // Wakes the thread if it still waits; if it took a signal already, this one stays pending
  // on it, blocked, and goes with the thread.
  pthread_kill(thread_.native_handle(), SIGTERM);
  thread_.join();
}

void StopSignals::Wait() {
  int signal_number = 0;
  while (sigwait(&signals_, &signal_number) != 0) {
  }
  // A signal that comes before rclcpp::init has made the context is kept until it has: the
  // stop was asked for and must not be lost.
  while (!leaving_ && !context_->is_valid()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::lock_guard<std::mutex> making(making_);
  if (leaving_) return;
  // Spinning ends, and so does every wait that watches rclcpp::ok() or the context.
  rclcpp::shutdown(context_, "stopped by a signal");
}

}  // namespace stop_signals
