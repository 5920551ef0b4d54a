#include "config_center/target_params.hpp"

#include <utility>
#include <vector>

#include "config_center/db_connection.hpp"
#include "config_center/records.hpp"

namespace config_center {

namespace {
constexpr unsigned int kNoSuchTable = 1146;
}  // namespace

bool ReadTargetParams(const std::string& node_name, std::map<std::string, std::string>* params) {
  auto& db = DbConnection::GetInstance();
  std::map<std::string, std::string> found;
  // custom_config last, so its items win. The node name is compared here rather than put
  // into the statement: it is data, never SQL.
  for (const char* table : {"global_config", "custom_config"}) {
    const std::vector<ConfigData> items =
        db.Query<ConfigData>(std::string("select name, value, node_name, config_type from ") +
                             table + " where deleted = 0");
    if (db.LastQueryFailed() && db.LastQueryErrno() != kNoSuchTable) {
      return false;
    }
    for (const ConfigData& item : items) {
      if (item.config_type == kParam && item.node_name == node_name) {
        found[item.name] = item.value;
      }
    }
  }
  *params = std::move(found);
  return true;
}

}  // namespace config_center
