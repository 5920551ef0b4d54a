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

  bool ReadLiveItems(const std::string& table, ItemColumns columns,
                     std::vector<ConfigData>* items) override;
  // Two statements (one per table), each for this node's parameters alone: the node name
  // goes in as a placeholder's value, never as SQL.
  bool ReadTargetParams(const std::string& node_name, ItemColumns columns,
                        std::map<std::string, std::string>* params) override;

private:
  bool Succeeded() const;

  DbConnection& db_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_DB_ITEM_STORE_HPP_
