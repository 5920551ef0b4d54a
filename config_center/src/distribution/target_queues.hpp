#ifndef CONFIG_CENTER_TARGET_QUEUES_HPP_
#define CONFIG_CENTER_TARGET_QUEUES_HPP_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "store/item_change.hpp"
#include "store/records.hpp"

namespace config_center {

// Where a change goes into effect: the node of a parameter item, or the file of a file item.
// Changes of one target are applied in order; targets are independent of each other.
struct Target {
  int32_t kind = kParam;  // kParam or kFile
  std::string name;       // the node's name, or the file item's name

  bool operator<(const Target& other) const {
    return std::tie(kind, name) < std::tie(other.kind, other.name);
  }
  bool operator==(const Target& other) const { return kind == other.kind && name == other.name; }
  // "node arm", "file maps/site.yaml": how the log names a target.
  std::string Text() const;
};

// One change waiting for its target.
struct PendingChange : ItemChange {
  bool announced = false;  // its first attempt has been logged; retries are not
  uint64_t order = 0;      // when it was queued (set by TargetQueues::Add)
};

// The changes each target still has to take, in order, and the targets held back because
// their last attempt failed in a way that may pass. A held target is retried at growing
// intervals (kFirstRetry doubling up to kLastRetry) or at once when told; only its own later
// changes wait. A newer change of an item replaces a queued one of the same item, so what is
// queued per target is bounded by its items, not by the number of changes. Time is passed in.
class TargetQueues {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kFirstRetry = std::chrono::milliseconds(10);
  static constexpr Clock::duration kLastRetry = std::chrono::seconds(1);

  // Puts `change` behind the target's earlier changes. A queued change of the same item that
  // has not been started is dropped: the newer value replaces it (never the other way round).
  void Add(const Target& target, PendingChange change);

  // The targets whose first change can be attempted at `now`: none started, not waiting out
  // a retry interval. In the order their first changes were queued, so that targets that
  // hold nothing back take their changes in the order of the log.
  std::vector<Target> Due(Clock::time_point now) const;
  // The first change of `target`; null when it has none.
  PendingChange* Front(const Target& target);
  // The first `most` changes of `target` (fewer when it has fewer), in order; valid until the
  // queue moves on.
  std::vector<PendingChange*> Leading(const Target& target, size_t most);
  // The first `count` changes are being attempted together (an answer is awaited): they stay
  // first and are not replaced by newer changes until each is Done or the target is held.
  void Start(const Target& target, size_t count = 1);
  // The first change is in effect, or passed over: the next one follows (the target stays
  // started while others of its attempt are awaited). Returns true when this releases a held
  // target.
  bool Done(const Target& target);
  // The changes still marked under way were not attempted after all: they wait again.
  void Stop(const Target& target);
  // The first change cannot be applied now; the changes started with it wait behind it again.
  // The target is retried after its interval. Returns true when the target starts being held
  // (it was not held before).
  bool Hold(const Target& target, const std::string& reason, Clock::time_point now);
  // A held target becomes due at once (its node has appeared).
  void RetryNow(const Target& target);

  // When the earliest waiting target becomes due; nothing when none waits.
  std::optional<Clock::time_point> NextRetry() const;

  struct Held {
    Target target;
    std::string reason;
    Clock::time_point since;
    size_t pending;  // its changes waiting, the held one included
  };
  std::vector<Held> HeldTargets() const;
  bool IsHeld(const Target& target) const;
  bool empty() const { return queues_.empty(); }
  // Changes queued over all targets.
  size_t size() const;

private:
  struct Queue {
    std::deque<PendingChange> changes;
    size_t started = 0;  // the first changes under way
    bool held = false;
    std::string reason;
    Clock::time_point since{};
    Clock::time_point retry_at{};
    Clock::duration interval{};
  };

  std::map<Target, Queue> queues_;  // only targets with changes
  uint64_t queued_ = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_TARGET_QUEUES_HPP_
