#include "rclcpp/timer.hpp"

#include <limits>

#include "rclcpp/callback_group.hpp"

namespace rclcpp {

namespace {
int64_t steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

TimerBase::TimerBase(std::chrono::nanoseconds period, rclcpp::Context::SharedPtr context)
    : context_(std::move(context)),
      period_ns_(period.count()),
      next_call_ns_(steady_now_ns() + period.count()) {
  if (period_ns_ < 0) throw std::invalid_argument("timer period must be non-negative");
}

TimerBase::~TimerBase() { detail::notify_entities_changed(false); }

void TimerBase::cancel() { canceled_.store(true); }

bool TimerBase::is_canceled() { return canceled_.load(); }

void TimerBase::reset() {
  next_call_ns_.store(steady_now_ns() + period_ns_);
  canceled_.store(false);
  // A waiting executor must learn the new deadline.
  detail::notify_entities_changed(true);
}

std::chrono::nanoseconds TimerBase::time_until_trigger() {
  if (canceled_.load()) return std::chrono::nanoseconds::max();
  return std::chrono::nanoseconds(next_call_ns_.load() - steady_now_ns());
}

bool TimerBase::is_ready() { return !canceled_.load() && next_call_ns_.load() <= steady_now_ns(); }

bool TimerBase::call() {
  if (canceled_.load()) return false;
  const int64_t now = steady_now_ns();
  int64_t next = next_call_ns_.load();
  if (next > now) return false;
  if (period_ns_ == 0) {
    next = now;
  } else {
    next += period_ns_;
    // Periods missed while nobody spun are skipped, not made up for.
    if (next <= now) next += ((now - next) / period_ns_ + 1) * period_ns_;
  }
  next_call_ns_.store(next);
  return true;
}

}  // namespace rclcpp
