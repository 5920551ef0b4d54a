#ifndef CONFIG_CENTER_CHANGE_FEED_HPP_
#define CONFIG_CENTER_CHANGE_FEED_HPP_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/db_account.hpp"
#include "tracking/change_log_commits.hpp"

namespace config_center {

// Why the change feed is not following the binary log; kNone while it is.
enum class FeedDownReason {
  kNone,
  kStarting,        // the first attempt has not got that far yet
  kNoBinaryLog,     // the server writes no binary log (log_bin is OFF)
  kNotRowFormat,    // binlog_format is STATEMENT or MIXED: no row events to go by
  kNoPrivilege,     // the account may not read the binary log (REPLICATION SLAVE)
  kConnectionLost,  // the feed was up and its connection broke (KILL, server shutdown)
  kServerGone,      // the server cannot be reached
  kRefused,         // anything else: not a MariaDB server, or what server or client refused
};

struct FeedStatus {
  bool up = false;
  FeedDownReason reason = FeedDownReason::kStarting;
  std::string detail;    // what was found: a setting, or the server's or client's error text
  uint64_t changes = 0;  // how many times the status changed since the feed started
  // Why it was down the last time it was, so that a reader who missed a short fall (the
  // feed was back before the reader looked) can still say what happened.
  FeedDownReason last_down = FeedDownReason::kStarting;
  std::string last_down_detail;
};

// "up", or why not: "no binary log (log_bin is OFF)".
std::string DescribeFeedStatus(const FeedStatus& status);

// Follows the server's binary log as a replication client, on a thread of its own, and calls
// the wake-up for each committed transaction that wrote rows to ROBOT.config_table_changes.
// With each such commit it keeps the change-log rows the transaction wrote, decoded from its
// row events, for TakeCommits(): a reader that has them need not read them again. When they
// cannot all be decoded (the table is not as db/schema.sql makes it, a statement logged as
// text, rows updated or deleted) the commit is kept without them, marked incomplete, and the
// reader reads the change log with a SELECT. A wake-up may be needless (a DDL statement on
// ROBOT, a reconnection). The row of a woken commit may not be visible to another connection
// yet for a short while, so a reader that reads it with a SELECT checks again.
//
// It starts at the server's current GTID position (@@gtid_binlog_pos, which any account may
// read; the file and position would need BINLOG MONITOR besides REPLICATION SLAVE), so it
// reads no history. MariaDB servers only (the GTID start is theirs). While the server is down
// or refuses, it tries again with a back-off.
class ChangeFeed {
public:
  // Called on the feed's thread (from Start() only when the feed cannot start at all): for a
  // committed change-log write, and after every change of Status() (so a reader that polls
  // while the feed is down learns when to stop, and runs a pass for what was committed
  // before the feed came up). Must be cheap and thread-safe. Never called once Stop() has
  // returned.
  using WakeUp = std::function<void()>;

  struct Options {
    DbAccount account = kNodeAccount;
    // Between attempts while the server is gone: doubling from the first to the longest.
    // After a connection that was up for a while, the first new attempt is made at once.
    std::chrono::milliseconds first_retry{50};
    std::chrono::milliseconds longest_retry{1000};
    // While the server's settings or grants keep the feed out: those change rarely.
    std::chrono::milliseconds settings_retry{10000};
    // The server sends a heartbeat when the log is idle this long; with nothing heard for
    // read_timeout the connection counts as lost (a server that hangs, a dead link). A
    // closed connection is noticed at once. A heartbeat each second would add markedly to
    // what the idle server costs (docs/benchmarks.md, the change feed's floor).
    std::chrono::seconds heartbeat{10};
    std::chrono::seconds read_timeout{30};
    std::chrono::seconds connect_timeout{2};
    // Decode the change-log rows of each commit; without, every commit is kept incomplete.
    bool take_rows = true;
    // Rows kept for TakeCommits() at most; past that, what is kept is replaced by one
    // incomplete commit (the reader catches up with a SELECT).
    size_t kept_rows = 4096;
    // And bytes of values kept at most, for those commits and for one transaction.
    size_t kept_bytes = size_t{64} << 20;
  };

  explicit ChangeFeed(WakeUp wake_up);
  ChangeFeed(WakeUp wake_up, const Options& options);
  ~ChangeFeed();  // stops
  ChangeFeed(const ChangeFeed&) = delete;
  ChangeFeed& operator=(const ChangeFeed&) = delete;

  // Starts the feed's thread; once.
  void Start();
  // Ends the thread within milliseconds, also while it waits for the server in a connect, a
  // query or the stream. Idempotent.
  void Stop();
  FeedStatus Status() const;
  // The commits to the change log since the last call, in the order of the binary log;
  // `status_changes`, when given, gets Status().changes as it was when they were taken.
  std::vector<ChangeLogCommits::Committed> TakeCommits(uint64_t* status_changes = nullptr);

private:
  struct Outcome {
    FeedDownReason reason;
    std::string detail;
    std::chrono::steady_clock::duration up_for;  // zero when it never streamed
  };

  void Run();
  // One connection: connect, check the settings, stream until it ends. Returns why it ended.
  Outcome Follow();
  void SetStatus(bool up, FeedDownReason reason, std::string detail);
  void Keep(ChangeLogCommits::Committed&& committed);
  // Waits `delay` or until Stop(); false when stopping.
  bool Pause(std::chrono::milliseconds delay) const;
  bool Stopping() const { return stopping_.load(std::memory_order_acquire); }

  const WakeUp wake_up_;
  const Options options_;
  const uint32_t server_id_;  // this feed's replica id, unique on the server
  int stop_fd_ = -1;          // eventfd, readable once Stop() was called
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::once_flag started_;
  mutable std::mutex mutex_;
  FeedStatus status_;
  std::vector<ChangeLogCommits::Committed> commits_;  // not taken yet
  size_t commits_rows_ = 0;
  size_t commits_bytes_ = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CHANGE_FEED_HPP_
