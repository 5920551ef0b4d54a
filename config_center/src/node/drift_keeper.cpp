#include "node/drift_keeper.hpp"

#include <utility>

namespace config_center {

bool DriftKeeper::ParsePolicy(const std::string& text, Policy* policy) {
  if (text == "restore") {
    *policy = Policy::kRestore;
  } else if (text == "report") {
    *policy = Policy::kReport;
  } else if (text == "ignore") {
    *policy = Policy::kIgnore;
  } else {
    return false;
  }
  return true;
}

DriftKeeper::DriftKeeper(ItemStateTable& states, FileWatch* watch, ManagedFiles& files, Hooks hooks)
    : states_(states), watch_(watch), files_(files), hooks_(std::move(hooks)) {}

std::string DriftKeeper::Name(const ItemKey& key) const {
  return key.config_type == kFile ? "file " + key.name
                                  : "parameter " + key.name + " of node " + key.node_name;
}

void DriftKeeper::ParamSent(const std::string& node_name, const std::string& name,
                            const Value& value) {
  expected_.Sent(node_name, name, value, Clock::now());
}

void DriftKeeper::Applied(const ConfigData& item, int64_t change_id, WallClock::time_point now) {
  const ItemKey key = ItemKey::Of(item);
  // A change from the database starts its item afresh; a restore of a held item keeps it held.
  if (restoring_.erase(key) == 0) guard_.Forget(key);
  if (guard_.IsHeld(key)) {
    states_.Set(key, ItemState::kHeld, DriftGuard::kHeldReason, item.value, change_id, now);
  } else {
    states_.Set(key, ItemState::kApplied, "", item.value, change_id, now);
  }
  if (item.config_type == kParam) {
    expected_.Applied(item.node_name, item.name);
  } else if (item.config_type == kFile) {
    // The digest the states hold: a file's bytes are hashed once per write.
    files_.Wrote(item.name, states_.Find(key)->value_sha256);
    std::string why;
    if (watch_ != nullptr && !watch_->Manage(item.name, &why) && hooks_.log) {
      hooks_.log("Cannot watch file " + item.name + " for changes by others: " + why);
    }
  }
}

void DriftKeeper::NotInEffect(const ConfigData& item, int64_t change_id, ItemState state,
                              const std::string& reason, WallClock::time_point now) {
  const ItemKey key = ItemKey::Of(item);
  if (state != ItemState::kHeld) {
    // Refused or never applicable: nothing of it is in effect to keep.
    if (item.config_type == kParam) expected_.Forget(item.node_name, item.name);
    restoring_.erase(key);
    guard_.Forget(key);
  }
  states_.Set(key, state, reason, item.value, change_id, now);
}

void DriftKeeper::Withdrawn(const ConfigData& item) {
  const ItemKey key = ItemKey::Of(item);
  if (item.config_type == kParam) {
    expected_.Forget(item.node_name, item.name);
  } else {
    files_.Forget(item.name);
    if (watch_ != nullptr) watch_->Forget(item.name);
  }
  restoring_.erase(key);
  guard_.Forget(key);
  states_.Remove(key);
}

void DriftKeeper::ParamChanged(const std::string& node_name, const std::string& name,
                               const Value& value) {
  const Clock::time_point now = Clock::now();
  if (expected_.Observe(node_name, name, value, now) != ExpectedParams::Seen::kDrifted) return;
  Drift({kParam, node_name, name}, "it was changed by another party", now);
}

void DriftKeeper::FilesTouched(const std::vector<std::string>& names) {
  const Clock::time_point now = Clock::now();
  for (const std::string& name : names) {
    std::string how;
    if (!files_.Manages(name) || files_.Intact(name, &how)) continue;
    Drift({kFile, "", name}, how, now);
  }
}

void DriftKeeper::Drift(const ItemKey& key, const std::string& how, Clock::time_point now) {
  if (policy_ == Policy::kIgnore) return;
  const ItemStateEntry* entry = states_.Find(key);
  // Only what is in effect can drift: a held item is still on its way.
  if (entry == nullptr || entry->state == ItemState::kRefused ||
      entry->state == ItemState::kPassedOver) {
    return;
  }
  if (policy_ == Policy::kReport) {
    states_.CountDrift(key, DriftHandling::kReported);
    if (entry->state == ItemState::kDrifted) return;
    states_.Mark(key, ItemState::kDrifted, how, WallClock::now());
    if (hooks_.log)
      hooks_.log("Drift: " + Name(key) + ": " + how + "; left so (drift_policy report)");
    return;
  }
  switch (guard_.Drifted(key, now)) {
    case DriftGuard::Verdict::kRestore:
      states_.CountDrift(key, DriftHandling::kRestored);
      if (hooks_.log) hooks_.log("Drift: " + Name(key) + ": " + how + "; setting it back");
      restoring_.insert(key);
      if (hooks_.restore) hooks_.restore(key);
      break;
    case DriftGuard::Verdict::kStartedHold:
      states_.CountDrift(key, DriftHandling::kWhileHeld);
      states_.CountHeldFighting();
      states_.Mark(key, ItemState::kHeld, DriftGuard::kHeldReason, WallClock::now());
      if (hooks_.log) {
        hooks_.log("Holding back " + Name(key) + ": " + DriftGuard::kHeldReason +
                   "; set back only at growing intervals");
      }
      break;
    case DriftGuard::Verdict::kHeld:
      states_.CountDrift(key, DriftHandling::kWhileHeld);
      break;
  }
}

void DriftKeeper::Tick(Clock::time_point now) {
  const DriftGuard::Due due = guard_.TakeDue(now);
  for (const ItemKey& key : due.retry) {
    restoring_.insert(key);
    if (hooks_.restore) hooks_.restore(key);
  }
  for (const ItemKey& key : due.released) {
    const ItemStateEntry* entry = states_.Find(key);
    if (entry != nullptr && entry->state == ItemState::kHeld) {
      states_.Mark(key, ItemState::kApplied, "", WallClock::now());
    }
    if (hooks_.log) hooks_.log("Released " + Name(key) + ": it stays as set");
  }
}

}  // namespace config_center
