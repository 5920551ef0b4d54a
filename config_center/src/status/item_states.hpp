#ifndef CONFIG_CENTER_ITEM_STATES_HPP_
#define CONFIG_CENTER_ITEM_STATES_HPP_

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "store/item_key.hpp"

namespace config_center {

// Where an item stands on this robot.
enum class ItemState {
  kApplied,     // in effect as the database says
  kHeld,        // not in effect yet, tried again
  kRefused,     // the node answered and refused it (reason: the node's own)
  kPassedOver,  // can never be applied as it stands
  kDrifted,     // changed by another party; left so, as the drift policy is to report
};
// "applied", "held", "refused", "passed_over", "drifted": the spelling the robot and the
// fleet show.
const char* ItemStateName(ItemState state);

struct ItemStateEntry {
  using WallClock = std::chrono::system_clock;

  ItemKey key;
  ItemState state = ItemState::kApplied;
  std::string reason;
  std::string value;         // a parameter's text; empty for a file, which only has the digest
  std::string value_sha256;  // of the value's bytes
  int64_t change_id = 0;     // the change-log id it reflects; 0: the tables at start-up
  WallClock::time_point since{};
  uint32_t drift_count = 0;  // how often another party changed it away from the database's value
};

// Drift over the node's life, for /diagnostics.
struct DriftCounts {
  uint64_t restored = 0;       // set back to the database's value at once
  uint64_t reported = 0;       // left as found (drift_policy report)
  uint64_t while_held = 0;     // changed again while held for its node's fighting back
  uint64_t held_fighting = 0;  // times an item was held because its node kept changing it
};
enum class DriftHandling { kRestored, kReported, kWhileHeld };

// The state of every item in effect, fed by the outcomes of distribution and by drift.
// Tells, through version(), whether anything a reader sees has changed: a publisher compares
// versions and so costs nothing while nothing changes. No ROS, no locks: one thread.
class ItemStateTable {
public:
  using WallClock = ItemStateEntry::WallClock;

  // The item is now in `state`. `value` is the value the change carries (its digest is kept;
  // the text only for a parameter). `since` moves only when the state or the value changes, so
  // a held item that is retried keeps the moment it was first held. Returns whether anything
  // visible changed.
  bool Set(const ItemKey& key, ItemState state, const std::string& reason, const std::string& value,
           int64_t change_id, WallClock::time_point now);
  // The item, as it is, is now in `state` (drifted, held because its node fights back,
  // released again): its value, digest and change-log id stay. False when it is not there or
  // nothing changed.
  bool Mark(const ItemKey& key, ItemState state, const std::string& reason,
            WallClock::time_point now);
  // The item is no longer in effect (withdrawn). Returns whether it was there.
  bool Remove(const ItemKey& key);
  // Another party changed the item, and how the node took it.
  void CountDrift(const ItemKey& key, DriftHandling handling);
  void CountHeldFighting() {
    ++drift_.held_fighting;
    ++version_;
  }

  const ItemStateEntry* Find(const ItemKey& key) const;
  // Every item, or those of one node (parameters of that node), in key order.
  std::vector<ItemStateEntry> All() const;
  std::vector<ItemStateEntry> OfNode(const std::string& node_name) const;
  // Items in `state` (count), for the summary: kept as the states change, so the summary that
  // /diagnostics takes every second costs the same with 100 items as with 50,000.
  size_t Count(ItemState state) const { return counts_[Index(state)]; }
  size_t size() const { return entries_.size(); }
  // "12 applied, 1 held, 0 refused, 0 passed_over, 0 drifted".
  std::string Summary() const;

  const DriftCounts& drift() const { return drift_; }
  // Grows with every visible change; equal versions mean equal contents.
  uint64_t version() const { return version_; }

private:
  static constexpr size_t kStates = 5;
  static size_t Index(ItemState state) { return static_cast<size_t>(state); }
  // Moves one item's count from state `from` to `to`.
  void Recount(ItemState from, ItemState to);

  std::map<ItemKey, ItemStateEntry> entries_;
  std::array<size_t, kStates> counts_{};
  DriftCounts drift_;
  uint64_t version_ = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_ITEM_STATES_HPP_
