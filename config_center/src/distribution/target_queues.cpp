#include "distribution/target_queues.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace config_center {

std::string Target::Text() const { return (kind == kFile ? "file " : "node ") + name; }

void TargetQueues::Add(const Target& target, PendingChange change) {
  Queue& queue = queues_[target];
  // The first changes may be under way; the others are only waiting.
  const auto from = queue.changes.begin() + static_cast<std::ptrdiff_t>(queue.started);
  const auto older = std::find_if(from, queue.changes.end(), [&](const PendingChange& queued) {
    return queued.item.name == change.item.name;
  });
  if (older != queue.changes.end()) {
    queue.changes.erase(older);
  }
  change.order = queued_++;
  queue.changes.push_back(std::move(change));
}

std::vector<Target> TargetQueues::Due(Clock::time_point now) const {
  std::vector<std::pair<uint64_t, const Target*>> due;
  for (const auto& [target, queue] : queues_) {
    if (queue.started == 0 && (!queue.held || queue.retry_at <= now)) {
      due.emplace_back(queue.changes.front().order, &target);
    }
  }
  std::sort(due.begin(), due.end());
  std::vector<Target> targets;
  targets.reserve(due.size());
  for (const auto& [order, target] : due) targets.push_back(*target);
  return targets;
}

PendingChange* TargetQueues::Front(const Target& target) {
  const auto queue = queues_.find(target);
  return queue == queues_.end() ? nullptr : &queue->second.changes.front();
}

std::vector<PendingChange*> TargetQueues::Leading(const Target& target, size_t most) {
  std::vector<PendingChange*> leading;
  const auto queue = queues_.find(target);
  if (queue == queues_.end()) return leading;
  for (PendingChange& change : queue->second.changes) {
    if (leading.size() >= most) break;
    leading.push_back(&change);
  }
  return leading;
}

void TargetQueues::Start(const Target& target, size_t count) {
  const auto queue = queues_.find(target);
  if (queue != queues_.end()) {
    queue->second.started = std::min(std::max<size_t>(count, 1), queue->second.changes.size());
  }
}

bool TargetQueues::Done(const Target& target) {
  const auto found = queues_.find(target);
  if (found == queues_.end()) return false;
  Queue& queue = found->second;
  const bool released = queue.held;
  queue.changes.pop_front();
  if (queue.changes.empty()) {
    queues_.erase(found);
    return released;
  }
  if (queue.started > 0) --queue.started;
  queue.held = false;
  queue.interval = {};
  return released;
}

void TargetQueues::Stop(const Target& target) {
  const auto queue = queues_.find(target);
  if (queue != queues_.end()) queue->second.started = 0;
}

bool TargetQueues::Hold(const Target& target, const std::string& reason, Clock::time_point now) {
  const auto found = queues_.find(target);
  if (found == queues_.end()) return false;
  Queue& queue = found->second;
  const bool newly = !queue.held;
  queue.started = 0;
  queue.held = true;
  queue.reason = reason;
  if (newly) {
    queue.since = now;
    queue.interval = kFirstRetry;
  } else {
    queue.interval = std::min(queue.interval * 2, kLastRetry);
  }
  queue.retry_at = now + queue.interval;
  return newly;
}

void TargetQueues::RetryNow(const Target& target) {
  const auto found = queues_.find(target);
  if (found != queues_.end() && found->second.held) {
    found->second.retry_at = Clock::time_point{};
  }
}

std::optional<TargetQueues::Clock::time_point> TargetQueues::NextRetry() const {
  std::optional<Clock::time_point> next;
  for (const auto& [target, queue] : queues_) {
    if (queue.held && queue.started == 0 && (!next || queue.retry_at < *next)) {
      next = queue.retry_at;
    }
  }
  return next;
}

std::vector<TargetQueues::Held> TargetQueues::HeldTargets() const {
  std::vector<Held> held;
  for (const auto& [target, queue] : queues_) {
    if (queue.held) held.push_back({target, queue.reason, queue.since, queue.changes.size()});
  }
  return held;
}

bool TargetQueues::IsHeld(const Target& target) const {
  const auto found = queues_.find(target);
  return found != queues_.end() && found->second.held;
}

size_t TargetQueues::size() const {
  size_t count = 0;
  for (const auto& [target, queue] : queues_) count += queue.changes.size();
  return count;
}

}  // namespace config_center
