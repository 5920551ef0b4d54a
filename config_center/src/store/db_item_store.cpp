#include "store/db_item_store.hpp"

#include <utility>

namespace config_center {

namespace {

// The server's number for "table doesn't exist": such a table holds no items yet.
constexpr unsigned int kNoSuchTable = 1146;

// A node's live parameter items, with their values: the node name is a placeholder's value.
std::string TargetParamsQuery(const char* table) {
  return std::string("select name, value, node_name, config_type from ") + table +
         " where deleted = 0 and config_type = 1 and node_name = ?";
}

}  // namespace

bool DbItemStore::Succeeded() const {
  // A table that cannot be read is not an empty table: going on without its items would
  // leave the robot on stale configuration.
  return !db_.LastQueryFailed() || db_.LastQueryErrno() == kNoSuchTable;
}

bool DbItemStore::ReadItemKeys(const char* table, std::vector<StoredItem>* items) {
  std::vector<ItemKeyRow> rows = db_.Query<ItemKeyRow>(
      std::string("select id, name, length(value), node_name, config_type from ") + table +
      " where deleted = 0 order by id");
  if (!Succeeded()) return false;
  items->clear();
  items->reserve(rows.size());
  for (ItemKeyRow& row : rows) {
    items->push_back(
        StoredItem{table, row.id,
                   ConfigData{std::move(row.name), "", std::move(row.node_name), row.config_type},
                   row.value_bytes});
  }
  return true;
}

bool DbItemStore::ReadItemValues(const char* table, const std::vector<int64_t>& ids,
                                 std::map<int64_t, std::string>* values) {
  values->clear();
  if (ids.empty()) return true;
  // Integers only: the list is built from ids the server gave, never from text.
  std::string list;
  for (const int64_t id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  std::vector<ItemValueRow> rows =
      db_.Query<ItemValueRow>(std::string("select id, value from ") + table +
                              " where deleted = 0 and id in (" + list + ")");
  if (!Succeeded()) return false;
  for (ItemValueRow& row : rows) values->emplace(row.id, std::move(row.value));
  return true;
}

bool DbItemStore::ReadTargetParams(const std::string& node_name,
                                   std::map<std::string, std::string>* params) {
  std::map<std::string, std::string> found;
  // custom_config comes last, so its items win.
  for (const char* table : kItemTables) {
    const std::vector<ConfigData> items = db_.Query<ConfigData>(
        TargetParamsQuery(table), DbConnection::Statement::kKept, {node_name});
    if (!Succeeded()) return false;
    for (const ConfigData& item : items) found[item.name] = item.value;
  }
  *params = std::move(found);
  return true;
}

bool DbItemStore::ReadItem(const ItemKey& key, std::optional<ConfigData>* item) {
  std::optional<ConfigData> found;
  for (const char* table : kItemTables) {
    std::string sql = "select name, value, node_name, config_type from " + std::string(table) +
                      " where deleted = 0 and config_type = ? and name = ?";
    std::vector<QueryParam> params{int64_t{key.config_type}, key.name};
    if (key.config_type == kParam) {
      sql += " and node_name = ?";
      params.emplace_back(key.node_name);
    }
    const std::vector<ConfigData> items =
        db_.Query<ConfigData>(sql, DbConnection::Statement::kOnce, params);
    if (!Succeeded()) return false;
    if (!items.empty()) found = items.front();  // custom_config comes last and wins
  }
  *item = std::move(found);
  return true;
}

}  // namespace config_center
