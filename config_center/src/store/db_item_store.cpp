#include "store/db_item_store.hpp"

#include <utility>

namespace config_center {

namespace {

// The server's number for "table doesn't exist": such a table holds no items yet.
constexpr unsigned int kNoSuchTable = 1146;

std::string ItemsQuery(const std::string& table, ItemColumns columns) {
  switch (columns) {
    case ItemColumns::kAll:
      return "select name, value, node_name, config_type from " + table + " where deleted = 0";
    case ItemColumns::kParams:
      return "select name, value, node_name, config_type from " + table +
             " where deleted = 0 and config_type = 1";
    case ItemColumns::kParamNames:
      break;
  }
  return "select name, '', node_name, config_type from " + table +
         " where deleted = 0 and config_type = 1";
}

}  // namespace

bool DbItemStore::Succeeded() const {
  // A table that cannot be read is not an empty table: going on without its items would
  // leave the robot on stale configuration.
  return !db_.LastQueryFailed() || db_.LastQueryErrno() == kNoSuchTable;
}

bool DbItemStore::ReadLiveItems(const std::string& table, ItemColumns columns,
                                std::vector<ConfigData>* items) {
  *items = db_.Query<ConfigData>(ItemsQuery(table, columns));
  return Succeeded();
}

bool DbItemStore::ReadTargetParams(const std::string& node_name, ItemColumns columns,
                                   std::map<std::string, std::string>* params) {
  std::map<std::string, std::string> found;
  // custom_config comes last, so its items win.
  for (const char* table : kItemTables) {
    const std::vector<ConfigData> items =
        db_.Query<ConfigData>(ItemsQuery(table, columns) + " and node_name = ?",
                              DbConnection::Statement::kKept, {node_name});
    if (!Succeeded()) return false;
    for (const ConfigData& item : items) found[item.name] = item.value;
  }
  *params = std::move(found);
  return true;
}

}  // namespace config_center
