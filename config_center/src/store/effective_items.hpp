#ifndef CONFIG_CENTER_EFFECTIVE_ITEMS_HPP_
#define CONFIG_CENTER_EFFECTIVE_ITEMS_HPP_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "store/item_store.hpp"
#include "store/records.hpp"

namespace config_center {

// The items in effect: per key (a parameter's node and name, a file's name) the custom_config
// item over the global_config one, in the order the tables gave them.
class EffectiveItems {
public:
  // A later item of the same key replaces an earlier one in its place.
  void Add(StoredItem item);
  const std::vector<StoredItem>& items() const { return items_; }
  std::vector<StoredItem>& items() { return items_; }
  bool HasFile(const std::string& name) const;
  bool HasParam(const std::string& node_name, const std::string& name) const;

private:
  using Key = std::tuple<int32_t, std::string, std::string>;  // (kind, node, name)
  static Key KeyOf(const ConfigData& item);
  std::vector<StoredItem> items_;
  std::map<Key, size_t> index_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_EFFECTIVE_ITEMS_HPP_
