#include "status/item_states.hpp"

#include "disk/value_digest.hpp"

namespace config_center {

const char* ItemStateName(ItemState state) {
  switch (state) {
    case ItemState::kApplied:
      return "applied";
    case ItemState::kHeld:
      return "held";
    case ItemState::kRefused:
      return "refused";
    case ItemState::kPassedOver:
      return "passed_over";
    case ItemState::kDrifted:
      return "drifted";
  }
  return "";
}

bool ItemStateTable::Set(const ItemKey& key, ItemState state, const std::string& reason,
                         const std::string& value, int64_t change_id, WallClock::time_point now) {
  auto [it, inserted] = entries_.try_emplace(key);
  ItemStateEntry& entry = it->second;
  // A parameter's text says whether its value changed; a file only has its digest.
  const bool same_text = !inserted && key.config_type != kFile && entry.value == value;
  const std::string digest = same_text ? entry.value_sha256 : Sha256Hex(value);
  // The node itself sent it again (a restarted target, a value set back): the same value
  // still reflects the change that brought it.
  if (change_id == 0 && !inserted && digest == entry.value_sha256) change_id = entry.change_id;
  if (!inserted && entry.state == state && entry.reason == reason && entry.value_sha256 == digest &&
      entry.change_id == change_id) {
    return false;
  }
  if (inserted || entry.state != state || entry.value_sha256 != digest) {
    entry.since = now;
  }
  if (inserted) {
    ++counts_[Index(state)];
  } else {
    Recount(entry.state, state);
  }
  entry.key = key;
  entry.state = state;
  entry.reason = reason;
  entry.value = key.config_type == kFile ? std::string() : value;
  entry.value_sha256 = digest;
  entry.change_id = change_id;
  ++version_;
  return true;
}

bool ItemStateTable::Mark(const ItemKey& key, ItemState state, const std::string& reason,
                          WallClock::time_point now) {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  ItemStateEntry& entry = it->second;
  if (entry.state == state && entry.reason == reason) return false;
  if (entry.state != state) entry.since = now;
  Recount(entry.state, state);
  entry.state = state;
  entry.reason = reason;
  ++version_;
  return true;
}

bool ItemStateTable::Remove(const ItemKey& key) {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  --counts_[Index(it->second.state)];
  entries_.erase(it);
  ++version_;
  return true;
}

void ItemStateTable::Recount(ItemState from, ItemState to) {
  --counts_[Index(from)];
  ++counts_[Index(to)];
}

void ItemStateTable::CountDrift(const ItemKey& key, DriftHandling handling) {
  switch (handling) {
    case DriftHandling::kRestored:
      ++drift_.restored;
      break;
    case DriftHandling::kReported:
      ++drift_.reported;
      break;
    case DriftHandling::kWhileHeld:
      ++drift_.while_held;
      break;
  }
  const auto it = entries_.find(key);
  if (it != entries_.end()) ++it->second.drift_count;
  ++version_;
}

const ItemStateEntry* ItemStateTable::Find(const ItemKey& key) const {
  const auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : &it->second;
}

std::vector<ItemStateEntry> ItemStateTable::All() const {
  std::vector<ItemStateEntry> all;
  all.reserve(entries_.size());
  for (const auto& [key, entry] : entries_) all.push_back(entry);
  return all;
}

std::vector<ItemStateEntry> ItemStateTable::OfNode(const std::string& node_name) const {
  std::vector<ItemStateEntry> of_node;
  for (const auto& [key, entry] : entries_) {
    if (key.config_type != kFile && key.node_name == node_name) of_node.push_back(entry);
  }
  return of_node;
}

std::string ItemStateTable::Summary() const {
  std::string text;
  for (const ItemState state : {ItemState::kApplied, ItemState::kHeld, ItemState::kRefused,
                                ItemState::kPassedOver, ItemState::kDrifted}) {
    if (!text.empty()) text += ", ";
    text += std::to_string(Count(state)) + " " + ItemStateName(state);
  }
  return text;
}

}  // namespace config_center
