#ifndef CONFIG_CENTER_REPEAT_THROTTLE_HPP_
#define CONFIG_CENTER_REPEAT_THROTTLE_HPP_

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "config_center/log_capture.hpp"

namespace config_center {

// Keeps a failure that repeats on every tick from flooding the log: its first occurrence is
// written at once; repeats that end within the interval from the start of the last written
// one are left out and counted; then one is written again, preceded by the count. A
// different failure, or success, is written at once. (An attempt that itself takes the
// interval, such as a parameter call waiting out its deadline, is therefore always written.)
class RepeatThrottle {
public:
  using Clock = std::chrono::steady_clock;

  explicit RepeatThrottle(Clock::duration interval = std::chrono::seconds(1))
      : interval_(interval) {}

  // Runs one attempt. `attempt` returns an empty text on success, otherwise a text that
  // names the failure; equal texts are repeats.
  template <typename Attempt>
  void Run(Attempt&& attempt) {
    const auto now = Clock::now();
    if (failure_.empty()) {
      failure_ = std::forward<Attempt>(attempt)();
      written_at_ = now;
      return;
    }
    LogCapture capture;
    std::string outcome = std::forward<Attempt>(attempt)();
    if (outcome == failure_ && Clock::now() - written_at_ < interval_) {
      capture.Discard();
      ++left_out_;
      return;
    }
    capture.Release([this] { ReportLeftOut(); });
    failure_ = std::move(outcome);
    written_at_ = now;
  }

  uint64_t left_out() const { return left_out_; }

private:
  void ReportLeftOut();

  Clock::duration interval_;
  std::string failure_;
  Clock::time_point written_at_{};
  uint64_t left_out_ = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_REPEAT_THROTTLE_HPP_
