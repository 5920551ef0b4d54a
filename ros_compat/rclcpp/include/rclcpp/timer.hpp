#ifndef RCLCPP__TIMER_HPP_
#define RCLCPP__TIMER_HPP_

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "rclcpp/context.hpp"
#include "rclcpp/macros.hpp"

namespace rclcpp {

/// A periodic callback on the steady clock; it fires only while an executor spins it.
class TimerBase {
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(TimerBase)

  TimerBase(std::chrono::nanoseconds period, rclcpp::Context::SharedPtr context);
  virtual ~TimerBase();

  void cancel();
  bool is_canceled();
  /// Restarts the period from now (and un-cancels).
  void reset();
  virtual void execute_callback() = 0;
  virtual bool is_steady() = 0;
  /// Time left until the next call; negative when overdue, max() when canceled.
  std::chrono::nanoseconds time_until_trigger();
  bool is_ready();

  // Used by executors.
  /// Steady-clock nanoseconds of the next call.
  int64_t next_call_ns() const { return next_call_ns_.load(std::memory_order_relaxed); }
  /// When due: moves the schedule on (skipping missed periods) and returns true.
  bool call();

protected:
  RCLCPP_DISABLE_COPY(TimerBase)

  rclcpp::Context::SharedPtr context_;
  int64_t period_ns_;
  std::atomic<int64_t> next_call_ns_;
  std::atomic<bool> canceled_{false};
};

using VoidCallbackType = std::function<void()>;
using TimerCallbackType = std::function<void(TimerBase&)>;

template <typename FunctorT>
class GenericTimer : public TimerBase {
public:
  RCLCPP_SMART_PTR_DEFINITIONS(GenericTimer)

  GenericTimer(std::chrono::nanoseconds period, FunctorT&& callback,
               rclcpp::Context::SharedPtr context)
      : TimerBase(period, context), callback_(std::forward<FunctorT>(callback)) {}

  void execute_callback() override {
    if constexpr (std::is_invocable_v<FunctorT&, TimerBase&>) {
      callback_(*this);
    } else {
      callback_();
    }
  }

  bool is_steady() override { return true; }

protected:
  FunctorT callback_;
};

template <typename FunctorT>
class WallTimer : public GenericTimer<FunctorT> {
public:
  RCLCPP_SMART_PTR_DEFINITIONS(WallTimer)

  WallTimer(std::chrono::nanoseconds period, FunctorT&& callback,
            rclcpp::Context::SharedPtr context)
      : GenericTimer<FunctorT>(period, std::forward<FunctorT>(callback), context) {}
};

}  // namespace rclcpp

#endif  // RCLCPP__TIMER_HPP_
