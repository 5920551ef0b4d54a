#include "tracking/change_log.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "logging/logging.hpp"
#include "tracking/change_row.hpp"

namespace config_center {

namespace {
constexpr char kMaxIdQuery[] = "SELECT MAX(id) FROM config_table_changes";
// The rows after the position, so many at most and so many bytes of values at most (the
// first row always, however large): the values it takes. The sizes are summed over ids and
// lengths alone, so the server never holds the values of the rows it leaves out. Its text
// stays the same, so it stays prepared from pass to pass.
constexpr char kChangesAfterQuery[] =
    "select c.id, c.name, c.value, c.node_name, c.change_type, c.config_type, c.deleted from "
    "config_table_changes c join (select id from (select id, bytes, sum(bytes) over (order by "
    "id) - bytes as before_it from (select id, coalesce(length(value), 0) as bytes from "
    "config_table_changes where id > ? order by id limit ?) sizes) sums where before_it = 0 or "
    "before_it + bytes <= ?) picked on c.id = picked.id order by c.id";
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

ChangeLog::ChangeLog(DbConnection& db, Apply apply, int64_t bytes_per_pass)
    : db_(db), apply_(std::move(apply)), bytes_per_pass_(bytes_per_pass) {}

ChangeLog::~ChangeLog() { StopFeed(); }

void ChangeLog::StartFeed(ChangeFeed::WakeUp wake_up, const ChangeFeed::Options& options) {
  feed_ = std::make_unique<ChangeFeed>(std::move(wake_up), options);
  feed_->Start();
}

void ChangeLog::StopFeed() {
  if (feed_) feed_->Stop();
}

bool ChangeLog::Woken(Clock::time_point now) {
  // A commit that woke the feed may also be a transaction that committed late.
  look_for_late_ = true;
  rechecks_.clear();
  for (const auto after : kRecheckAfter) rechecks_.push_back(now + after);
  if (!feed_) return false;
  const FeedStatus status = feed_->Status();
  if (status.changes == feed_status_.changes) return false;
  const FeedStatus previous = feed_status_;
  feed_status_ = status;
  const Source was = source_;
  source_ = status.up ? Source::kFeed : Source::kPoll;
  // "starting" is no news; any other state is said once, with what was found.
  if (status.up && status.changes > previous.changes + 1 && previous.up) {
    // Down and up again before this thread looked: the pass that follows reads what was
    // committed meanwhile, as any pass does.
    FeedStatus fall = status;
    fall.up = false;
    fall.reason = status.last_down;
    fall.detail = status.last_down_detail;
    LOG_ERROR("Change feed was down for a moment ({}) and is up again", DescribeFeedStatus(fall));
  } else if (status.up) {
    LOG_DEBUG(
        "Learning of changes from the binary log (change feed up); the change log is "
        "still read once a second");
  } else if (status.reason != FeedDownReason::kStarting) {
    LOG_ERROR("Change feed down: {}; reading the change log every 1 ms",
              DescribeFeedStatus(status));
  }
  return source_ != was;
}

std::string ChangeLog::SourceText() const {
  if (source_ == Source::kFeed) return "the binary log (change feed up)";
  if (!feed_) return "a poll every 1 ms";
  if (feed_status_.reason == FeedDownReason::kStarting)
    return "a poll every 1 ms (the change feed is starting)";
  return "a poll every 1 ms (the change feed is down: " + DescribeFeedStatus(feed_status_) + ")";
}

std::optional<ChangeLog::Clock::time_point> ChangeLog::NextRecheck(Clock::time_point after) const {
  for (const Clock::time_point at : rechecks_) {
    if (at > after) return at;
  }
  return std::nullopt;
}

bool ChangeLog::Start() {
  if (const char* wait_ms = std::getenv(kGiveUpWaitVariable)) {
    missing_ids_.set_give_up_after(std::chrono::milliseconds(std::atoll(wait_ms)));
    LOG_DEBUG("Missing change-log ids are given up after {} ms ({})", std::atoll(wait_ms),
              kGiveUpWaitVariable);
  }
  missing_ids_.Clear();
  late_failure_.clear();
  const std::vector<IncrementId> max_id = db_.Query<IncrementId>(kMaxIdQuery);
  if (db_.LastQueryFailed() || max_id.empty()) {
    config_change_max_id_ = -1;
    return false;
  }
  config_change_max_id_ = max_id.front().id;
  newest_ = config_change_max_id_;
  NoteMissingAtStartup();
  return true;
}

// A transaction still open at start-up holds an id below the position; when it commits after
// the tables were read, only its row can bring its change. Its id sits in a hole among the
// rows written within the give-up wait (or just below the oldest of them). Older holes are
// past waiting for, so they are not noted.
void ChangeLog::NoteMissingAtStartup() {
  const int64_t position = config_change_max_id_;
  if (position <= 1) return;
  const auto wait_s = std::chrono::ceil<std::chrono::seconds>(missing_ids_.give_up_after()).count();
  const std::vector<IncrementId> recent = db_.Query<IncrementId>(
      "select id from config_table_changes where id > " +
      std::to_string(position - kStartupLookBack) + " and id <= " + std::to_string(position) +
      " and changed_at >= now(3) - interval " + std::to_string(std::max<int64_t>(wait_s, 1)) +
      " second order by id");
  // A failed read is logged by the query layer; start-up goes on without these ids.
  if (db_.LastQueryFailed() || recent.empty()) return;
  const std::vector<IncrementId> below = db_.Query<IncrementId>(
      "select max(id) from config_table_changes where id < " + std::to_string(recent.front().id));
  if (db_.LastQueryFailed()) return;
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

ChangeLog::Pass ChangeLog::Follow(std::string* failure) {
  const auto now = Clock::now();
  more_ = false;
  // Right after a commit woke the feed there is a row to read: read it at once, and the
  // maximum only when none came. Otherwise the maximum first: one kept statement, and the
  // only one, while nothing changed.
  const bool after_wake =
      std::exchange(look_for_late_, false) || (!rechecks_.empty() && now <= rechecks_.back());
  const Pass pass = after_wake ? ReadRowsFirst(failure) : ReadMaximumFirst(failure);
  if (pass != Pass::kRead) return pass;
  if (!missing_ids_.empty()) {
    // A late commit wakes the feed as well: look then, and in the passes that follow it, not
    // only every 100 ms.
    if (missing_ids_.LookupDue(now) || after_wake) CheckMissingChanges(now);
  }
  *failure = late_failure_;
  return late_failure_.empty() ? Pass::kRead : Pass::kFailed;
}

ChangeLog::Pass ChangeLog::ReadMaximumFirst(std::string* failure) {
  int64_t newest = 0;
  const Pass pass = ReadMaximum(failure, &newest);
  if (pass != Pass::kRead || newest == config_change_max_id_) return pass;
  std::vector<ConfigTableChangesData> changes;
  if (!ReadRowsAfterPosition(failure, &changes)) return Pass::kFailed;
  if (changes.empty()) {
    // The rows counted in the maximum are not visible (yet): deleted meanwhile, or in a
    // transaction that commits late, which the ids left missing wait for.
    MovePositionTo(newest, Clock::now());
    return Pass::kRead;
  }
  // A pass may end before the maximum (rows or bytes enough for one pass): the next one
  // goes on from the last row taken.
  ApplyRows(changes);
  more_ = true;
  return Pass::kRead;
}

ChangeLog::Pass ChangeLog::ReadRowsFirst(std::string* failure) {
  std::vector<ConfigTableChangesData> changes;
  if (!ReadRowsAfterPosition(failure, &changes)) return Pass::kFailed;
  if (changes.empty()) {
    int64_t newest = 0;
    return ReadMaximum(failure, &newest);
  }
  ApplyRows(changes);
  newest_ = std::max(newest_, config_change_max_id_);
  more_ = true;
  return Pass::kRead;
}

ChangeLog::Pass ChangeLog::ReadMaximum(std::string* failure, int64_t* newest) {
  const std::vector<IncrementId> max_id =
      db_.Query<IncrementId>(kMaxIdQuery, DbConnection::Statement::kKept);
  if (db_.LastQueryFailed() || max_id.empty()) {
    LOG_ERROR("Get increment next id failed");
    *failure = "reading the change-log maximum: " + db_.LastQueryError();
    return Pass::kFailed;
  }
  *newest = max_id.front().id;
  newest_ = *newest;
  if (*newest < config_change_max_id_) {
    LOG_ERROR(
        "The change log went back from id {} to {} (emptied, restored or made anew): "
        "distributing the tables again and following the log from there",
        config_change_max_id_, *newest);
    return Pass::kWentBack;
  }
  return Pass::kRead;
}

bool ChangeLog::ReadRowsAfterPosition(std::string* failure,
                                      std::vector<ConfigTableChangesData>* changes) {
  *changes = db_.Query<ConfigTableChangesData>(
      kChangesAfterQuery, DbConnection::Statement::kKept,
      {config_change_max_id_, int64_t{kRowsPerPass}, bytes_per_pass_});
  if (db_.LastQueryFailed()) {
    // The position stays, so these rows are read again on the next pass.
    *failure = "reading the changes after " + std::to_string(config_change_max_id_) + ": " +
               db_.LastQueryError();
    return false;
  }
  return true;
}

void ChangeLog::ApplyRows(std::vector<ConfigTableChangesData>& changes) {
  if (changes.empty()) return;
  LOG_DEBUG("Some config changed");
  // The position moves on past each row whatever becomes of its change.
  for (ConfigTableChangesData& change : changes) {
    const int64_t id = change.id;
    ApplyRow(change);
    MovePositionTo(id, Clock::now());
  }
}

void ChangeLog::ApplyRow(ConfigTableChangesData& row) {
  ItemChange change;
  // The value moves on with the change: a large one is held once.
  if (ItemChangeFromRow(std::move(row), &change)) apply_(std::move(change));
}

void ChangeLog::MovePositionTo(int64_t id, Clock::time_point now) {
  if (id <= config_change_max_id_) return;
  // After a failed start-up read the whole log is read again: its old holes are not waited for.
  if (config_change_max_id_ >= 0 && id - 1 > config_change_max_id_) {
    missing_ids_.Add(config_change_max_id_ + 1, id - 1, now);
  }
  config_change_max_id_ = id;
}

void ChangeLog::CheckMissingChanges(Clock::time_point now) {
  std::vector<ConfigTableChangesData> late = db_.Query<ConfigTableChangesData>(
      kChangesWhereQuery + missing_ids_.Condition() + " order by id");
  std::vector<int64_t> superseded;
  if (db_.LastQueryFailed() || !SupersededChanges(late, &superseded)) {
    // Nothing is given up while the ids cannot be looked for.
    late_failure_ = "looking up missing change-log ids: " + db_.LastQueryError();
    return;
  }
  late_failure_.clear();
  for (ConfigTableChangesData& change : late) {
    missing_ids_.Remove(change.id);
    // Applied now, an older change would overwrite the newer one already in effect (or about
    // to be applied), against the order of the log.
    if (std::find(superseded.begin(), superseded.end(), change.id) != superseded.end()) {
      LOG_DEBUG("Change {} committed late; the log holds a newer change of {}, so it is left out",
                change.id, change.name);
      continue;
    }
    LOG_DEBUG("Change {} committed late; applying it now", change.id);
    ApplyRow(change);
  }
  for (const ChangeLogGaps::Range& range : missing_ids_.TakeGivenUp(now)) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - range.since);
    ids_given_up_ += static_cast<uint64_t>(range.last - range.first + 1);
    LOG_ERROR("Gave up waiting for change-log {}: missing for {} ms{}", IdsText(range),
              waited.count(),
              waited < missing_ids_.give_up_after() ? ", too many ids missing" : "");
  }
}

bool ChangeLog::SupersededChanges(const std::vector<ConfigTableChangesData>& late,
                                  std::vector<int64_t>* superseded) {
  if (late.empty()) return true;
  std::string sql = kSupersededQuery;
  sql.replace(sql.find("%s"), 2, IdList(late));
  for (const IncrementId& row : db_.Query<IncrementId>(sql)) superseded->push_back(row.id);
  return !db_.LastQueryFailed();
}

}  // namespace config_center
