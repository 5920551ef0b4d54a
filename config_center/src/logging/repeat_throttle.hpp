#ifndef CONFIG_CENTER_REPEAT_THROTTLE_HPP_
#define CONFIG_CENTER_REPEAT_THROTTLE_HPP_

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "logging/log_capture.hpp"

namespace config_center {

// Keeps a failure that repeats on every tick from flooding the log: its first occurrence is
// written at once; repeats that end within the interval from the start of the last written
// one are left out and counted; then one is written again, preceded by the count. Only the
// records the written occurrence also made are left out: anything else logged by a repeat
// (a row passed over, a late change applied) is written. A different failure, or success,
// is written at once.
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
    LogCapture capture;
    std::string outcome = std::forward<Attempt>(attempt)();
    if (!failure_.empty() && outcome == failure_ && Clock::now() - written_at_ < interval_) {
      if (capture.DiscardRepeats(written_texts_) > 0) ++left_out_;
      capture.Release();
      return;
    }
    written_texts_ = capture.Texts();
    capture.Release([this] { ReportLeftOut(); });
    failure_ = std::move(outcome);
    written_at_ = now;
  }

  uint64_t left_out() const { return left_out_; }

private:
  void ReportLeftOut();

  Clock::duration interval_;
  std::string failure_;
  std::vector<std::string> written_texts_;  // what the last written occurrence logged
  Clock::time_point written_at_{};
  uint64_t left_out_ = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_REPEAT_THROTTLE_HPP_
