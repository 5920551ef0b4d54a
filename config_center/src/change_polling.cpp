#include <algorithm>
#include <chrono>
#include <cstdlib>
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
constexpr char kChangesWhereQuery[] =
    "select id, name, value, node_name, change_type, config_type,deleted from "
    "config_table_changes where ";
// Of the given late rows, those whose item (the key the triggers use: name and config_type,
// and node_name for a parameter) has a newer insert or update in the log.
constexpr char kSupersededQuery[] =
    "select c.id from config_table_changes c where c.id in (%s) and exists (select 1 from "
    "config_table_changes n where n.id > c.id and n.name = c.name and n.config_type <=> "
    "c.config_type and (c.config_type = 2 or n.node_name <=> c.node_name) and n.change_type in "
    "('insert', 'update'))";
// Test-only: a wait in milliseconds that replaces kGiveUpMissingIdAfter, read only when set,
// so that tests need not wait minutes. Not a ROS parameter: nothing on the ROS graph can see
// or change it.
constexpr char kGiveUpWaitVariable[] = "CONFIG_CENTER_TEST_GIVE_UP_MS";
// How far below the start-up position holes are looked for, at most; bounds that one read.
constexpr int64_t kStartupLookBack = 10000;

using Clock = ChangeLogGaps::Clock;

std::string IdList(const std::vector<ConfigTableChangesData>& changes) {
  std::string list;
  for (const ConfigTableChangesData& change : changes) {
    list += (list.empty() ? "" : ",") + std::to_string(change.id);
  }
  return list;
}

std::string IdsText(const ChangeLogGaps::Range& range) {
  return range.first == range.last
             ? "id " + std::to_string(range.first)
             : "ids " + std::to_string(range.first) + " to " + std::to_string(range.last);
}

}  // namespace

void ConfigCenter::InitConfigChangeMaxID() {
  if (const char* wait_ms = std::getenv(kGiveUpWaitVariable)) {
    missing_ids_.set_give_up_after(std::chrono::milliseconds(std::atoll(wait_ms)));
    LOG_DEBUG("Missing change-log ids are given up after {} ms ({})", std::atoll(wait_ms),
              kGiveUpWaitVariable);
  }
  auto& db = DbConnection::GetInstance();
  const std::vector<IncrementId> max_id = db.Query<IncrementId>(kMaxIdQuery);
  if (db.LastQueryFailed() || max_id.empty()) {
    LOG_ERROR("Get increment next id failed");
    config_change_max_id_ = -1;
    return;
  }
  config_change_max_id_ = max_id.front().id;
  NoteMissingAtStartup();
}

// A transaction still open at start-up holds an id below the position; when it commits after
// the tables were read, only its row can bring its change. Its id sits in a hole among the
// rows written within the give-up wait (or just below the oldest of them). Older holes are
// past waiting for, so they are not noted.
void ConfigCenter::NoteMissingAtStartup() {
  const int64_t position = config_change_max_id_;
  if (position <= 1) return;
  const auto wait_s = std::chrono::ceil<std::chrono::seconds>(missing_ids_.give_up_after()).count();
  auto& db = DbConnection::GetInstance();
  const std::vector<IncrementId> recent = db.Query<IncrementId>(
      "select id from config_table_changes where id > " +
      std::to_string(position - kStartupLookBack) + " and id <= " + std::to_string(position) +
      " and changed_at >= now(3) - interval " + std::to_string(std::max<int64_t>(wait_s, 1)) +
      " second order by id");
  // A failed read is logged by the query layer; start-up goes on without these ids.
  if (db.LastQueryFailed() || recent.empty()) return;
  const std::vector<IncrementId> below = db.Query<IncrementId>(
      "select max(id) from config_table_changes where id < " + std::to_string(recent.front().id));
  if (db.LastQueryFailed()) return;
  int64_t previous = below.empty() ? 0 : below.front().id;
  const auto now = Clock::now();
  for (const IncrementId& row : recent) {
    if (row.id - 1 > previous) missing_ids_.Add(previous + 1, row.id - 1, now);
    previous = row.id;
  }
  if (!missing_ids_.empty()) {
    LOG_DEBUG("Change-log ids missing at start-up, waited for: {}", missing_ids_.Condition());
  }
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
  std::string failure;
  if (newest > config_change_max_id_) {
    LOG_DEBUG("Some config changed");
    const std::vector<ConfigTableChangesData> changes = db.Query<ConfigTableChangesData>(
        kChangesAfterQuery + std::to_string(config_change_max_id_) + " order by id");
    if (db.LastQueryFailed()) {
      // The position stays, so these rows are read again on the next tick.
      return "reading the changes after " + std::to_string(config_change_max_id_) + ": " +
             db.LastQueryError();
    }
    failure = ApplyNewChanges(changes);
    if (failure.empty()) {
      // A row counted in the maximum but gone when the rows were read was deleted meanwhile.
      MovePositionTo(newest, Clock::now());
    }
  }
  if (!missing_ids_.empty()) {
    const auto now = Clock::now();
    if (missing_ids_.LookupDue(now)) CheckMissingChanges(now);
  }
  if (late_failure_.empty()) return failure;
  return failure.empty() ? late_failure_ : failure + "; " + late_failure_;
}

std::string ConfigCenter::ApplyNewChanges(const std::vector<ConfigTableChangesData>& changes) {
  for (const ConfigTableChangesData& change : changes) {
    // A row that can never be applied is passed over like a handled one; only a row that
    // may work later ends the pass and is tried again on the next tick.
    if (ApplyChange(change) == Outcome::kLater) {
      return "change " + std::to_string(change.id);
    }
    MovePositionTo(change.id, Clock::now());
  }
  return "";
}

void ConfigCenter::MovePositionTo(int64_t id, Clock::time_point now) {
  if (id <= config_change_max_id_) return;
  // After a failed start-up read the whole log is read again: its old holes are not waited for.
  if (config_change_max_id_ >= 0 && id - 1 > config_change_max_id_) {
    missing_ids_.Add(config_change_max_id_ + 1, id - 1, now);
  }
  config_change_max_id_ = id;
}

void ConfigCenter::CheckMissingChanges(Clock::time_point now) {
  auto& db = DbConnection::GetInstance();
  const std::vector<ConfigTableChangesData> late = db.Query<ConfigTableChangesData>(
      kChangesWhereQuery + missing_ids_.Condition() + " order by id");
  std::vector<int64_t> superseded;
  if (db.LastQueryFailed() || !SupersededChanges(late, &superseded)) {
    // Nothing is given up while the ids cannot be looked for.
    late_failure_ = "looking up missing change-log ids: " + db.LastQueryError();
    return;
  }
  late_failure_.clear();
  for (const ConfigTableChangesData& change : late) {
    // Applied now, an older change would overwrite the newer one already in effect (or about
    // to be applied), against the order of the log.
    if (std::find(superseded.begin(), superseded.end(), change.id) != superseded.end()) {
      LOG_DEBUG("Change {} committed late; the log holds a newer change of {}, so it is left out",
                change.id, change.name);
      missing_ids_.Remove(change.id);
      continue;
    }
    LOG_DEBUG("Change {} committed late; applying it now", change.id);
    if (ApplyChange(change) == Outcome::kLater) {
      missing_ids_.Renew(change.id, now);
      if (late_failure_.empty()) late_failure_ = "late change " + std::to_string(change.id);
      continue;
    }
    missing_ids_.Remove(change.id);
  }
  for (const ChangeLogGaps::Range& range : missing_ids_.TakeGivenUp(now)) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - range.since);
    LOG_ERROR("Gave up waiting for change-log {}: missing for {} ms{}", IdsText(range),
              waited.count(),
              waited < missing_ids_.give_up_after() ? ", too many ids missing" : "");
  }
}

bool ConfigCenter::SupersededChanges(const std::vector<ConfigTableChangesData>& late,
                                     std::vector<int64_t>* superseded) {
  if (late.empty()) return true;
  std::string sql = kSupersededQuery;
  sql.replace(sql.find("%s"), 2, IdList(late));
  auto& db = DbConnection::GetInstance();
  for (const IncrementId& row : db.Query<IncrementId>(sql)) superseded->push_back(row.id);
  return !db.LastQueryFailed();
}

Outcome ConfigCenter::ApplyChange(const ConfigTableChangesData& change) {
  const bool distribute =
      change.change_type == "insert" || (change.change_type == "update" && change.deleted == 0);
  const bool withdraw = change.change_type == "update" && change.deleted != 0;
  if (!distribute && !withdraw) {
    return Outcome::kDone;
  }
  Outcome outcome = Outcome::kNever;
  std::string why;
  if (change.config_type != kParam && change.config_type != kFile) {
    LOG_ERROR("Unknow config type");
    why = "config_type " + std::to_string(change.config_type) + " is no known kind of item";
  } else if (change.config_type == kParam) {
    outcome = withdraw ? DeleteParamConfig(change)
                       : ParamConfigDistribute(ConfigData{change.name, change.value,
                                                          change.node_name, change.config_type});
    why = "node_name \"" + change.node_name + "\" makes no valid service name";
  } else {
    outcome = withdraw ? DeleteFileConfig(change)
                       : FileConfigDistribute(ConfigData{change.name, change.value,
                                                         change.node_name, change.config_type});
    why = "the file name \"" + change.name + "\" is refused";
  }
  if (outcome == Outcome::kNever) {
    LOG_ERROR("Change {} can never be applied, so it is passed over: {}", change.id, why);
  }
  return outcome;
}

}  // namespace config_center
