#ifndef CONFIG_CENTER_ITEM_STORE_HPP_
#define CONFIG_CENTER_ITEM_STORE_HPP_

#include <map>
#include <string>
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

// Where the items come from: the database in the node, a fake in the tests of the parts
// that read items.
class ItemStore {
public:
  virtual ~ItemStore() = default;

  // The live items of `table`. A table that does not exist holds no items; any other failure
  // returns false (with the reason logged).
  virtual bool ReadLiveItems(const std::string& table, ItemColumns columns,
                             std::vector<ConfigData>* items) = 0;
  // The parameters in effect on one node, by name (custom_config over global_config; the
  // value empty with kParamNames). False when a table could not be read.
  virtual bool ReadTargetParams(const std::string& node_name, ItemColumns columns,
                                std::map<std::string, std::string>* params) = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_ITEM_STORE_HPP_
