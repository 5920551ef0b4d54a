#ifndef CONFIG_CENTER_ITEM_STORE_HPP_
#define CONFIG_CENTER_ITEM_STORE_HPP_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "store/item_key.hpp"
#include "store/records.hpp"

namespace config_center {

// The two item tables, in the order their items take effect: a custom_config item overrides
// the global_config item of the same key.
inline constexpr const char* kItemTables[] = {"global_config", "custom_config"};

// A live item as start-up first reads it: its table and id, its key, and how large its
// value is; the value itself (`item.value`) is read later, a part at a time.
struct StoredItem {
  const char* table = "";  // one of kItemTables
  int64_t id = 0;
  ConfigData item;
  int64_t value_bytes = 0;
};

// Where the items come from: the database in the node, a fake in the tests of the parts
// that read items.
class ItemStore {
public:
  virtual ~ItemStore() = default;

  // The live items of `table` without their values (StoredItem::item.value empty). A table
  // that does not exist holds no items; any other failure returns false (with the reason
  // logged), as do the reads below.
  virtual bool ReadItemKeys(const char* table, std::vector<StoredItem>* items) = 0;
  // The values of the live items of `table` whose ids are `ids`, by id; an item withdrawn
  // since its key was read is missing.
  virtual bool ReadItemValues(const char* table, const std::vector<int64_t>& ids,
                              std::map<int64_t, std::string>* values) = 0;
  // The parameters in effect on one node, by name, with their values (custom_config over
  // global_config); never a file item's value.
  virtual bool ReadTargetParams(const std::string& node_name,
                                std::map<std::string, std::string>* params) = 0;
  // The item in effect for `key` (custom_config over global_config), into `item`; nothing
  // there when neither table holds it live. False when a table could not be read.
  virtual bool ReadItem(const ItemKey& key, std::optional<ConfigData>* item) = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_ITEM_STORE_HPP_
