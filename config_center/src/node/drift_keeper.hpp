#ifndef CONFIG_CENTER_DRIFT_KEEPER_HPP_
#define CONFIG_CENTER_DRIFT_KEEPER_HPP_

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <rcl_interfaces/msg/parameter_value.hpp>

#include "distribution/drift_guard.hpp"
#include "files/file_watch.hpp"
#include "files/managed_files.hpp"
#include "params/expected_params.hpp"
#include "status/item_states.hpp"
#include "store/item_key.hpp"
#include "store/records.hpp"

namespace config_center {

// Keeps what the database says in effect after it went out: told how each attempt ended
// (which feeds the item states), it notices when another party changes a managed parameter
// (from /parameter_events) or a managed file (from inotify) away from it, and sets it back,
// or, with the policy `report`, only shows it as drifted. The node's own sets and writes never
// count. A target that keeps changing an item back is held (DriftGuard) instead of fought.
// Main thread only.
class DriftKeeper {
public:
  using Clock = std::chrono::steady_clock;
  using WallClock = ItemStateTable::WallClock;
  using Value = rcl_interfaces::msg::ParameterValue;

  // kIgnore: changes by others are not looked at (chosen at start-up: nothing is watched).
  enum class Policy { kRestore, kReport, kIgnore };
  // "restore", "report" or "ignore"; false for anything else.
  static bool ParsePolicy(const std::string& text, Policy* policy);

  struct Hooks {
    // Put the database's value of `key` into effect again (through its target's queue).
    std::function<void(const ItemKey& key)> restore;
    // Log a line (drift is logged once per occurrence, a hold once).
    std::function<void(const std::string& line)> log;
  };
  // `watch` may be null: files are then not watched.
  DriftKeeper(ItemStateTable& states, FileWatch* watch, ManagedFiles& files, Hooks hooks);

  void SetPolicy(Policy policy) { policy_ = policy; }
  Policy policy() const { return policy_; }

  // ---- how attempts ended
  // The node is sending `value` for a parameter (its own set: never drift).
  void ParamSent(const std::string& node_name, const std::string& name, const Value& value);
  // The item is in effect: a parameter holds what was last sent for it, a file the item's
  // bytes.
  void Applied(const ConfigData& item, int64_t change_id, WallClock::time_point now);
  // The item's target refused it (a node's own reason), it is held, or can never be applied.
  void NotInEffect(const ConfigData& item, int64_t change_id, ItemState state,
                   const std::string& reason, WallClock::time_point now);
  // The item is withdrawn: none of ours any more.
  void Withdrawn(const ConfigData& item);

  // ---- what other parties did
  // /parameter_events: `node_name`'s parameter `name` now has `value`.
  void ParamChanged(const std::string& node_name, const std::string& name, const Value& value);
  // inotify said these managed files were touched.
  void FilesTouched(const std::vector<std::string>& names);

  // Held items whose retry is due are set back, those that stayed are released.
  void Tick(Clock::time_point now);
  std::optional<Clock::time_point> NextDue() const { return guard_.NextDue(); }

private:
  void Drift(const ItemKey& key, const std::string& how, Clock::time_point now);
  std::string Name(const ItemKey& key) const;

  ItemStateTable& states_;
  FileWatch* watch_;
  ManagedFiles& files_;
  Hooks hooks_;
  Policy policy_ = Policy::kRestore;
  ExpectedParams expected_;
  DriftGuard guard_;
  std::set<ItemKey> restoring_;  // set back, not yet in effect again
};

}  // namespace config_center

#endif  // CONFIG_CENTER_DRIFT_KEEPER_HPP_
