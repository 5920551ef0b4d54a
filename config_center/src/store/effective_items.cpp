#include "store/effective_items.hpp"

#include <utility>

namespace config_center {

EffectiveItems::Key EffectiveItems::KeyOf(const ConfigData& item) {
  // A file item's node_name says nothing about the file.
  return {item.config_type, item.config_type == kFile ? "" : item.node_name, item.name};
}

void EffectiveItems::Add(StoredItem item) {
  const auto [at, added] = index_.emplace(KeyOf(item.item), items_.size());
  if (added) {
    items_.push_back(std::move(item));
  } else {
    items_[at->second] = std::move(item);
  }
}

bool EffectiveItems::HasFile(const std::string& name) const {
  return index_.count({kFile, "", name}) > 0;
}

bool EffectiveItems::HasParam(const std::string& node_name, const std::string& name) const {
  return index_.count({kParam, node_name, name}) > 0;
}

}  // namespace config_center
