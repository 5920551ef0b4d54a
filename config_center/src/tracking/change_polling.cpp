#include <string>

#include "node/config_center.hpp"
#include "logging/logging.hpp"

namespace config_center {

void ConfigCenter::InitConfigChangeMaxID() {
  if (!change_log_.Start()) {
    LOG_ERROR("Get increment next id failed");
  }
}

void ConfigCenter::PeriodCheckConfig() {
  last_pass_ = ChangeLog::Clock::now();
  std::string failure;
  poll_failures_.Run([this, &failure] { return failure = CheckChangeLog(); });
  NotePass(failure);
  Housekeeping(target_watch_.GraphChanged());
}

std::string ConfigCenter::CheckChangeLog() {
  if (resync_due_) return Resynchronise();
  std::string failure;
  switch (change_log_.Follow(&failure)) {
    case ChangeLog::Pass::kRead:
    case ChangeLog::Pass::kFailed:
      return failure;
    case ChangeLog::Pass::kWentBack:
      break;
  }
  resync_due_ = true;
  return Resynchronise();
}

std::string ConfigCenter::Resynchronise() {
  // As at start-up: the position first, then the tables, so a change made meanwhile is
  // applied once more rather than missed.
  if (!change_log_.Start()) {
    return "reading the change-log maximum to resynchronise";
  }
  EffectiveItems items;
  if (!ReadEffectiveItems(&items)) {
    return "reading the item tables to resynchronise";
  }
  DistributeEffective(items);
  resync_due_ = false;
  LOG_DEBUG("Resynchronised: {} items in effect, following the change log after id {}",
            items.items().size(), change_log_.position());
  return "";
}

void ConfigCenter::ApplyChange(const ConfigTableChangesData& change) {
  const bool distribute =
      change.change_type == "insert" || (change.change_type == "update" && change.deleted == 0);
  const bool withdraw = change.change_type == "update" && change.deleted != 0;
  if (!distribute && !withdraw) {
    return;
  }
  Submit(PendingChange{
      change.id,
      ConfigData{change.name, withdraw ? "" : change.value, change.node_name, change.config_type},
      withdraw, false});
}

}  // namespace config_center
