#ifndef CONFIG_CENTER_DB_ITEM_STORE_HPP_
#define CONFIG_CENTER_DB_ITEM_STORE_HPP_

#include <map>
#include <string>
#include <vector>

#include "store/db_connection.hpp"
#include "store/item_store.hpp"

namespace config_center {

// The item tables of the ROBOT database, read through `db`.
class DbItemStore : public ItemStore {
public:
  explicit DbItemStore(DbConnection& db) : db_(db) {}

  bool ReadItemKeys(const char* table, std::vector<StoredItem>* items) override;
  bool ReadItemValues(const char* table, const std::vector<int64_t>& ids,
                      std::map<int64_t, std::string>* values) override;
  // Two statements (one per table), each for this node's parameters alone: the node name
  // goes in as a placeholder's value, never as SQL.
  bool ReadTargetParams(const std::string& node_name,
                        std::map<std::string, std::string>* params) override;
  // Two statements, the key's parts as placeholders' values.
  bool ReadItem(const ItemKey& key, std::optional<ConfigData>* item) override;

private:
  bool Succeeded() const;

  DbConnection& db_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_DB_ITEM_STORE_HPP_
