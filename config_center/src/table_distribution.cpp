#include <string>
#include <vector>

#include "config_center/config_center.hpp"
#include "config_center/db_connection.hpp"
#include "config_center/logging.hpp"

namespace config_center {

namespace {
// The server's number for "table doesn't exist": such a table holds no items yet.
constexpr unsigned int kNoSuchTable = 1146;
}  // namespace

bool ConfigCenter::FullConfigDistribute() {
  LOG_DEBUG("FullConfigDistribute");
  // Files of both tables go into effect together: one flush for all instead of two fsyncs
  // per file, and a file the disk already holds is not written again.
  ConfigFileBatch files;
  bool distributed = true;
  if (!ConfigDistribute("global_config", &files)) {
    LOG_ERROR("Distribute global_config failed!");
    distributed = false;
  } else if (!ConfigDistribute("custom_config", &files)) {
    LOG_ERROR("Distribute custom_config failed!");
    distributed = false;
  }
  // Items before a failure stay in effect, files as well as parameters.
  return CommitConfigFiles(files) && distributed;
}

bool ConfigCenter::ConfigDistribute(const std::string& table, ConfigFileBatch* files) {
  LOG_DEBUG("ConfigDistribute table : {}", table);
  auto& db = DbConnection::GetInstance();
  const std::vector<ConfigData> items = db.Query<ConfigData>(
      "select name, value, node_name, config_type from " + table + " where deleted = 0");
  // A table that cannot be read is not an empty table: starting without its items would
  // leave the robot on stale configuration. The query layer has logged the server's text.
  if (db.LastQueryFailed() && db.LastQueryErrno() != kNoSuchTable) {
    return false;
  }
  for (const ConfigData& item : items) {
    Outcome outcome = Outcome::kNever;
    switch (item.config_type) {
      case kParam:
        outcome = ParamConfigDistribute(item);
        break;
      case kFile:
        outcome = FileConfigDistribute(item, files);
        break;
      default:
        LOG_ERROR("Unknow config type");
        return false;
    }
    // At start-up every item counts: one that is not in effect, for whatever reason, fails it.
    if (outcome != Outcome::kDone) {
      return false;
    }
  }
  return true;
}

}  // namespace config_center
