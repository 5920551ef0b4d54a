#ifndef CONFIG_CENTER_ITEM_TABLES_HPP_
#define CONFIG_CENTER_ITEM_TABLES_HPP_

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "store/records.hpp"

namespace config_center {

// The two item tables, in the order their items take effect: a custom_config item overrides
// the global_config item of the same key.
inline constexpr const char* kItemTables[] = {"global_config", "custom_config"};

// What a read of an item table brings back.
enum class ItemColumns {
  kAll,         // every live item with its value (start-up, resynchronisation)
  kParams,      // the live parameter items with their values; never file bodies
  kParamNames,  // the live parameter items' names and nodes only
};

// Reads the live items of `table`. A table that does not exist holds no items; any other
// failure returns false (the query layer has logged the server's text).
bool ReadLiveItems(const std::string& table, ItemColumns columns, std::vector<ConfigData>* items);

// The items in effect: per key (a parameter's node and name, a file's name) the custom_config
// item over the global_config one, in the order the tables gave them.
class EffectiveItems {
public:
  // A later item of the same key replaces an earlier one in its place.
  void Add(const ConfigData& item);
  const std::vector<ConfigData>& items() const { return items_; }
  bool HasFile(const std::string& name) const;
  bool HasParam(const std::string& node_name, const std::string& name) const;

private:
  using Key = std::tuple<int32_t, std::string, std::string>;  // (kind, node, name)
  static Key KeyOf(const ConfigData& item);
  std::vector<ConfigData> items_;
  std::map<Key, size_t> index_;
};

// The parameters in effect on one node, by name (the value empty with kParamNames). False when
// a table could not be read.
bool ReadTargetParams(const std::string& node_name, ItemColumns columns,
                      std::map<std::string, std::string>* params);

}  // namespace config_center

#endif  // CONFIG_CENTER_ITEM_TABLES_HPP_
