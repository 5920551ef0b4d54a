#ifndef CONFIG_CENTER_CHANGE_FEED_HPP_
#define CONFIG_CENTER_CHANGE_FEED_HPP_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "store/db_account.hpp"

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
// It only says that something changed: the change log stays the truth, and a wake-up may be
// needless (a DDL statement on ROBOT, a reconnection). The row of a woken commit may not be
// visible to another connection yet for a short while, so a reader checks again.
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
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CHANGE_FEED_HPP_
