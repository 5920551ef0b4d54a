#include "distribution/drift_guard.hpp"

#include <algorithm>

namespace config_center {

DriftGuard::Verdict DriftGuard::Drifted(const ItemKey& key, Clock::time_point now) {
  Item& item = items_[key];
  while (!item.restores.empty() && now - item.restores.front() >= kWindow) {
    item.restores.pop_front();
  }
  if (item.held) {
    if (!item.retry_pending) {
      // Set back on its retry and changed again: the next retry waits longer.
      item.interval = std::min<Clock::duration>(2 * item.interval, TargetQueues::kLastRetry);
      item.retry_at = now + item.interval;
      item.retry_pending = true;
    }
    return Verdict::kHeld;
  }
  if (static_cast<int>(item.restores.size()) >= kRestoresAllowed) {
    item.held = true;
    item.interval = TargetQueues::kFirstRetry;
    item.retry_at = now + item.interval;
    item.retry_pending = true;
    return Verdict::kStartedHold;
  }
  item.restores.push_back(now);
  item.last_restore = now;
  return Verdict::kRestore;
}

DriftGuard::Due DriftGuard::TakeDue(Clock::time_point now) {
  Due due;
  for (auto it = items_.begin(); it != items_.end();) {
    Item& item = it->second;
    if (item.held && item.retry_pending && item.retry_at <= now) {
      item.retry_pending = false;
      item.last_restore = now;
      due.retry.push_back(it->first);
    } else if (item.held && !item.retry_pending && now - item.last_restore >= kWindow) {
      due.released.push_back(it->first);
      it = items_.erase(it);
      continue;
    } else if (!item.held && (item.restores.empty() || now - item.restores.back() >= kWindow)) {
      it = items_.erase(it);  // nothing left to remember
      continue;
    }
    ++it;
  }
  return due;
}

std::optional<DriftGuard::Clock::time_point> DriftGuard::NextDue() const {
  std::optional<Clock::time_point> next;
  for (const auto& [key, item] : items_) {
    if (!item.held) continue;
    const Clock::time_point at = item.retry_pending ? item.retry_at : item.last_restore + kWindow;
    if (!next || at < *next) next = at;
  }
  return next;
}

bool DriftGuard::IsHeld(const ItemKey& key) const {
  const auto it = items_.find(key);
  return it != items_.end() && it->second.held;
}

}  // namespace config_center
