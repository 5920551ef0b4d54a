#include <algorithm>
#include <string>
#include <vector>

#include "config_center/config_center.hpp"
#include "config_center/db_connection.hpp"
#include "config_center/logging.hpp"

namespace config_center {

namespace {
constexpr char kMaxIdQuery[] = "SELECT MAX(id) FROM config_table_changes";
constexpr char kChangesAfterQuery[] =
    "select id, name, value, node_name, change_type, config_type,deleted from "
    "config_table_changes where id >";
}  // namespace

void ConfigCenter::InitConfigChangeMaxID() {
  auto& db = DbConnection::GetInstance();
  const std::vector<IncrementId> max_id = db.Query<IncrementId>(kMaxIdQuery);
  if (db.LastQueryFailed() || max_id.empty()) {
    LOG_ERROR("Get increment next id failed");
    config_change_max_id_ = -1;
    return;
  }
  config_change_max_id_ = max_id.front().id;
}

void ConfigCenter::PeriodCheckConfig() {
  poll_failures_.Run([this] { return CheckChangeLog(); });
  ResendToRestartedTargets();
}

std::string ConfigCenter::CheckChangeLog() {
  auto& db = DbConnection::GetInstance();
  const std::vector<IncrementId> max_id =
      db.Query<IncrementId>(kMaxIdQuery, DbConnection::Statement::kKept);
  if (db.LastQueryFailed() || max_id.empty()) {
    LOG_ERROR("Get increment next id failed");
    return "reading the change-log maximum: " + db.LastQueryError();
  }
  const int64_t newest = max_id.front().id;
  if (newest <= config_change_max_id_) {
    return "";
  }
  LOG_DEBUG("Some config changed");
  const std::vector<ConfigTableChangesData> changes = db.Query<ConfigTableChangesData>(
      kChangesAfterQuery + std::to_string(config_change_max_id_) + " order by id");
  if (db.LastQueryFailed()) {
    // The position stays, so these rows are read again on the next tick.
    return "reading the changes after " + std::to_string(config_change_max_id_) + ": " +
           db.LastQueryError();
  }
  for (const ConfigTableChangesData& change : changes) {
    if (!ApplyChange(change)) {
      return "change " + std::to_string(change.id);
    }
    config_change_max_id_ = std::max(config_change_max_id_, change.id);
  }
  // Rows written after the maximum was read may have been handled already; never go back.
  config_change_max_id_ = std::max(config_change_max_id_, newest);
  return "";
}

bool ConfigCenter::ApplyChange(const ConfigTableChangesData& change) {
  const bool distribute =
      change.change_type == "insert" || (change.change_type == "update" && change.deleted == 0);
  const bool withdraw = change.change_type == "update" && change.deleted != 0;
  if (!distribute && !withdraw) {
    return true;
  }
  if (change.config_type != kParam && change.config_type != kFile) {
    LOG_ERROR("Unknow config type");
    return false;
  }
  if (withdraw) {
    if (change.config_type == kParam) {
      return DeleteParamConfig(change);
    }
    // A file that cannot be removed is logged and does not hold back later changes.
    DeleteFileConfig(change);
    return true;
  }
  const ConfigData item{change.name, change.value, change.node_name, change.config_type};
  return change.config_type == kParam ? ParamConfigDistribute(item) : FileConfigDistribute(item);
}

}  // namespace config_center
