#ifndef CONFIG_CENTER_DRIFT_GUARD_HPP_
#define CONFIG_CENTER_DRIFT_GUARD_HPP_

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "distribution/target_queues.hpp"
#include "store/item_key.hpp"

namespace config_center {

// Keeps the node from fighting a target that sets an item back by itself. An item another
// party changed is set back at once, up to kRestoresAllowed times within kWindow (a node that
// fights does that within milliseconds; a person editing by hand does not); after that
// it is held ("the node keeps changing it") and set back only when its retry is due, at the
// intervals of held targets (TargetQueues::kFirstRetry doubling up to kLastRetry). A held item
// that then stays as set for kWindow is released. Time is passed in; one thread.
class DriftGuard {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kRestoresAllowed = 5;
  static constexpr Clock::duration kWindow = std::chrono::seconds(2);
  static constexpr char kHeldReason[] = "the node keeps changing it";

  enum class Verdict {
    kRestore,      // set it back now
    kStartedHold,  // set back too often: held from now on, set back when its retry is due
    kHeld,         // held already; its retry is due later
  };
  Verdict Drifted(const ItemKey& key, Clock::time_point now);

  struct Due {
    std::vector<ItemKey> retry;     // held items to set back now (they stay held)
    std::vector<ItemKey> released;  // held items that stayed as set for kWindow
  };
  Due TakeDue(Clock::time_point now);
  // When TakeDue has something next; nothing when no item is held.
  std::optional<Clock::time_point> NextDue() const;

  bool IsHeld(const ItemKey& key) const;
  // The item changed in the database or was withdrawn: its count starts afresh.
  void Forget(const ItemKey& key) { items_.erase(key); }

private:
  struct Item {
    std::deque<Clock::time_point> restores;  // within the last kWindow
    bool held = false;
    bool retry_pending = false;
    Clock::time_point retry_at{};
    Clock::time_point last_restore{};
    Clock::duration interval{};
  };
  std::map<ItemKey, Item> items_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_DRIFT_GUARD_HPP_
