#ifndef CONFIG_CENTER_CHANGE_LOG_HPP_
#define CONFIG_CENTER_CHANGE_LOG_HPP_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/db_connection.hpp"
#include "store/item_change.hpp"
#include "store/records.hpp"
#include "tracking/change_feed.hpp"
#include "tracking/change_log_gaps.hpp"

namespace config_center {

// Follows config_table_changes: the position (the last id taken into account), the ids the
// position moved past before their rows were visible (a transaction that commits late), the
// SQL that reads them, and how the node learns that there are new rows: from the server's
// binary log (the change feed) when it can, by a pass every 1 ms when it cannot. The change
// each new row describes goes to `apply`, in id order (rows that describe none are skipped).
// Reads through `db`; main thread only, but for the feed's own thread; the item tables
// themselves are read elsewhere.
class ChangeLog {
public:
  using Apply = std::function<void(ItemChange)>;
  using Clock = ChangeLogGaps::Clock;

  // Rows read per pass, at most: a backlog is read a part at a time, never into memory at
  // once.
  static constexpr int kRowsPerPass = 256;
  // Bytes of values read per pass, at most (a larger single row is read alone): memory is
  // bounded by bytes, not by rows.
  static constexpr int64_t kBytesPerPass = int64_t{64} << 20;

  // How the node learns of new rows.
  enum class Source {
    kPoll,  // a pass every 1 ms
    kFeed,  // a pass when the binary log shows a commit to the change log, and once a second
  };
  // After a commit the feed woke for, passes follow these long after the wake: its row may
  // become visible to this connection only a few milliseconds after the wake, later under
  // load (docs/benchmarks.md, the change feed's floor).
  static constexpr std::chrono::milliseconds kRecheckAfter[] = {
      std::chrono::milliseconds(1), std::chrono::milliseconds(3), std::chrono::milliseconds(7),
      std::chrono::milliseconds(15)};
  // With the feed up, a pass at least this often catches what a lost event would miss.
  static constexpr std::chrono::seconds kSafetyCheck{1};

  ChangeLog(DbConnection& db, Apply apply, int64_t bytes_per_pass = kBytesPerPass);
  ~ChangeLog();

  // Follows the server's binary log from now on; `wake_up` is called on the feed's thread
  // for a commit to the change log and for every change of the feed's state (it must be
  // cheap and thread-safe). Until the feed is up, and whenever it is down, the source is
  // the poll. The feed logs in as `options` say.
  void StartFeed(ChangeFeed::WakeUp wake_up, const ChangeFeed::Options& options = {});
  void StopFeed();
  // On a wake-up: takes a change of the feed's state (logged once, with the reason) and
  // schedules the passes that follow a commit. True when the source changed.
  bool Woken(Clock::time_point now);
  Source source() const { return source_; }
  // "the binary log (change feed up)", "a poll every 1 ms (no binary log ...)".
  std::string SourceText() const;
  // The next re-check after a commit, later than `after`; none when all are past.
  std::optional<Clock::time_point> NextRecheck(Clock::time_point after) const;

  // Notes the log's maximum as the position, before the tables are read (so a change made
  // while they are read is applied once more rather than missed), and the holes below it
  // that a transaction still open may fill. False when the maximum cannot be read: the
  // position is then -1, and the first pass that reads the maximum reads the whole log.
  bool Start();

  enum class Pass {
    kRead,      // new rows (if any) were read and applied
    kFailed,    // a read failed; `failure` names it; the position stays
    kWentBack,  // the maximum is below the position: emptied, restored or made anew
  };
  // One pass: reads at most kRowsPerPass rows above the position (when the maximum says
  // there are, or at once right after a commit woke the feed), applies them and moves the
  // position; every 100 ms while ids are missing, looks for their rows.
  Pass Follow(std::string* failure);
  int64_t position() const { return config_change_max_id_; }
  // The last pass took rows, and a pass or its bytes may have ended before the last of them:
  // the next pass should follow at once.
  bool MayHaveMore() const { return more_; }
  // The log's maximum as the last pass read it; above the position while a backlog is read.
  int64_t newest_read() const { return newest_; }
  bool missing() const { return !missing_ids_.empty(); }
  // Missing ids given up since start-up.
  uint64_t ids_given_up() const { return ids_given_up_; }

private:
  Pass ReadMaximumFirst(std::string* failure);
  Pass ReadRowsFirst(std::string* failure);
  // Reads the maximum into `newest`; kWentBack when it is below the position.
  Pass ReadMaximum(std::string* failure, int64_t* newest);
  bool ReadRowsAfterPosition(std::string* failure, std::vector<ConfigTableChangesData>* changes);
  // Moves each row's value on into its change.
  void ApplyRows(std::vector<ConfigTableChangesData>& changes);
  void ApplyRow(ConfigTableChangesData& row);
  void CheckMissingChanges(Clock::time_point now);
  bool SupersededChanges(const std::vector<ConfigTableChangesData>& late,
                         std::vector<int64_t>* superseded);
  void NoteMissingAtStartup();
  void MovePositionTo(int64_t id, Clock::time_point now);

  DbConnection& db_;
  Apply apply_;
  int64_t bytes_per_pass_;
  int64_t config_change_max_id_ = 0;
  int64_t newest_ = 0;
  bool more_ = false;
  std::unique_ptr<ChangeFeed> feed_;
  Source source_ = Source::kPoll;
  FeedStatus feed_status_;                   // as last taken by Woken
  std::vector<Clock::time_point> rechecks_;  // passes due after a commit, in order
  bool look_for_late_ = false;               // a wake-up: look for late rows in the next pass
  uint64_t ids_given_up_ = 0;
  // Ids below the position whose rows have not been seen yet. Like the position, kept in
  // memory only, so a database restart or reconnect leaves both as they are.
  ChangeLogGaps missing_ids_;
  // Why the last look at late rows failed; part of every pass's outcome until the next look,
  // so that a repeat is seen as one.
  std::string late_failure_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CHANGE_LOG_HPP_
