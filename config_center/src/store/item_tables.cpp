#include "store/item_tables.hpp"

#include <utility>

#include "store/db_connection.hpp"

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

bool ReadLiveItems(const std::string& table, ItemColumns columns, std::vector<ConfigData>* items) {
  auto& db = DbConnection::GetInstance();
  *items = db.Query<ConfigData>(ItemsQuery(table, columns));
  // A table that cannot be read is not an empty table: going on without its items would
  // leave the robot on stale configuration.
  return !db.LastQueryFailed() || db.LastQueryErrno() == kNoSuchTable;
}

EffectiveItems::Key EffectiveItems::KeyOf(const ConfigData& item) {
  // A file item's node_name says nothing about the file.
  return {item.config_type, item.config_type == kFile ? "" : item.node_name, item.name};
}

void EffectiveItems::Add(const ConfigData& item) {
  const auto [at, added] = index_.emplace(KeyOf(item), items_.size());
  if (added) {
    items_.push_back(item);
  } else {
    items_[at->second] = item;
  }
}

bool EffectiveItems::HasFile(const std::string& name) const {
  return index_.count({kFile, "", name}) > 0;
}

bool EffectiveItems::HasParam(const std::string& node_name, const std::string& name) const {
  return index_.count({kParam, node_name, name}) > 0;
}

bool ReadTargetParams(const std::string& node_name, ItemColumns columns,
                      std::map<std::string, std::string>* params) {
  std::map<std::string, std::string> found;
  for (const char* table : kItemTables) {
    std::vector<ConfigData> items;
    if (!ReadLiveItems(table, columns, &items)) return false;
    // The node name is compared here rather than put into the statement: it is data, never
    // SQL. custom_config comes last, so its items win.
    for (const ConfigData& item : items) {
      if (item.node_name == node_name) found[item.name] = item.value;
    }
  }
  *params = std::move(found);
  return true;
}

}  // namespace config_center
