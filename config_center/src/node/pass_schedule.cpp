#include <chrono>

#include "node/config_center.hpp"

namespace config_center {

namespace {

using Clock = std::chrono::steady_clock;

// The period of the poll, while the change feed is down.
constexpr std::chrono::milliseconds kPollPeriod{1};
// How often a call still waiting for its service to match is looked at.
constexpr std::chrono::milliseconds kMatchLook{1};

}  // namespace

void ConfigCenter::StartPasses() {
  alarm_ = std::make_unique<OneShotTimer>(*node_, [this] { OnAlarm(); });
  timer_ = node_->create_wall_timer(kPollPeriod, [this] { PeriodCheckConfig(); });
  // With the feed up, this pass catches what a lost event would miss; while polling, it is
  // one pass among a thousand.
  safety_timer_ = node_->create_wall_timer(ChangeLog::kSafetyCheck, [this] {
    if (change_log_.source() == ChangeLog::Source::kFeed) PeriodCheckConfig();
    status_.NotifySecond();
  });
  // The feed may have come up during start-up.
  OnWake(true);
}

void ConfigCenter::OnWake(bool triggered) {
  if (triggered && change_log_.Woken(Clock::now())) {
    // Each switch is logged once, by the change log, with its reason.
    if (change_log_.source() == ChangeLog::Source::kFeed) {
      timer_->cancel();
    } else {
      timer_->reset();
    }
  }
  if (triggered) {
    PeriodCheckConfig();  // a commit, or the feed came up or went: read the log now
  } else {
    Housekeeping(params_.GraphChanged());
  }
}

void ConfigCenter::Housekeeping(bool graph_changed) {
  if (graph_changed && !distributor_.targets().empty()) distributor_.RetryReachable();
  for (const std::string& node_name : params_.Restarted(graph_changed)) {
    distributor_.ResendParams(node_name);
  }
  params_.Poll(Clock::now());
  keeper_->Tick(Clock::now());
  StatesChanged();
  distributor_.Pump();
  Reschedule();
}

void ConfigCenter::Reschedule() {
  if (!timer_ || !timer_->is_canceled()) return;  // the poll runs all of this every 1 ms
  const auto now = Clock::now();
  auto next = Clock::time_point::max();
  const auto earliest = [&next](std::optional<Clock::time_point> at) {
    if (at && *at < next) next = *at;
  };
  earliest(change_log_.NextRecheck(last_pass_));
  if (change_log_.MayHaveMore()) earliest(now);
  earliest(distributor_.NextRetry());
  earliest(keeper_->NextDue());
  earliest(params_.NextDeadline());
  if (params_.AwaitingService()) earliest(now + kMatchLook);
  if (next == Clock::time_point::max() || (alarm_->armed() && alarm_at_ <= next)) return;
  alarm_at_ = next;
  alarm_->ArmIn(std::chrono::duration_cast<std::chrono::nanoseconds>(next - now));
}

void ConfigCenter::OnAlarm() {
  alarm_at_ = Clock::time_point::max();
  const auto now = Clock::now();
  // A re-check after a commit reads the log; anything else is housekeeping alone.
  const auto recheck = change_log_.NextRecheck(last_pass_);
  if (change_log_.MayHaveMore() || (recheck && *recheck <= now)) {
    PeriodCheckConfig();
  } else {
    Housekeeping(params_.GraphChanged());
  }
}

}  // namespace config_center
