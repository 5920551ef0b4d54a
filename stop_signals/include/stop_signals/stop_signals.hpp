#ifndef STOP_SIGNALS_STOP_SIGNALS_HPP_
#define STOP_SIGNALS_STOP_SIGNALS_HPP_

#include <signal.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include <rclcpp/context.hpp>

namespace stop_signals {

// SIGINT and SIGTERM taken on one thread of the process's own, which shuts the ROS context
// down (what rclcpp's own handler does, but outside signal context). Construct it first in
// main, before rclcpp::init (with SignalHandlerOptions::None) and before any other thread: the
// two signals are blocked in the constructing thread, so every thread started later (the DDS
// threads, the executors') inherits the block and the signal can only be taken here.
// Why not rclcpp's handler: a signal goes to any thread that does not block it, and one that
// lands on Cyclone DDS's receive thread, asleep in select() with no timeout, is run there only
// when that thread wakes. ThreadSanitizer defers handlers so (it cannot intercept that
// select), and the process then never stopped. Taking the signal with sigwait() also leaves no
// handler that could run while a thread holds malloc's lock.
class StopSignals {
public:
  StopSignals();
  // Finish(), if main did not.
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Returns once the signal thread has ended: after the shutdown it started has run to its
  // end, or at once when no signal came. Call it as soon as spinning ends (or start-up gives
  // up), before tearing anything down: spinning ends as soon as the context is invalid, while
  // the signal thread is still inside rclcpp::shutdown (running its callbacks, ending the
  // client library's logging), and nothing may be destroyed under it. Later signals stay
  // blocked: the process is stopping already.
  void Finish();

  // While a Hold is kept, a signal's shutdown waits for it: hold it while making ROS entities
  // (nodes, timers, publishers, services, executors) in a stretch that does not wait on
  // anything, and let go before waiting or spinning. Making entities beside a shutdown
  // corrupted the heap on Jazzy (about one stop in 800 right after start-up, ending in an
  // abort at exit). Let go before Finish(): the signal thread may be waiting for it.
  class Hold {
  public:
    explicit Hold(std::mutex& making) : lock_(making) {}
    void Release() {
      if (lock_.owns_lock()) lock_.unlock();
    }

  private:
    std::unique_lock<std::mutex> lock_;
  };
  Hold HoldShutdown() { return Hold(making_); }

private:
  void Wait();

  sigset_t signals_;
  std::atomic<bool> leaving_{false};
  std::mutex making_;
  // Taken before the thread starts, which orders its making before the thread's use.
  rclcpp::Context::SharedPtr context_;
  std::thread thread_;
};

}  // namespace stop_signals

#endif  // STOP_SIGNALS_STOP_SIGNALS_HPP_
