#include "tracking/change_feed.hpp"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>
// After mysql.h, which declares what it uses.
#include <mariadb_rpl.h>

#include "tracking/change_log_commits.hpp"
#include "tracking/feed_event.hpp"

namespace config_center {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A connection that stayed up this long ended by accident, not by a server that refuses
// right after accepting: try again at once.
constexpr auto kSteadyUp = std::chrono::seconds(1);

// The stop signal of the feed whose thread this is, for the client library's waits.
thread_local int t_stop_fd = -1;

// The client library waits for its socket here (MARIADB_OPT_IO_WAIT), always on the feed's
// own thread, so Stop() ends a wait in connect, in a query or in the stream at once, and no
// other thread ever touches the connection.
int WaitForSocketOrStop(my_socket socket, my_bool is_read, int timeout_ms) {
  pollfd fds[2] = {{static_cast<int>(socket), static_cast<short>(is_read ? POLLIN : POLLOUT), 0},
                   {t_stop_fd, POLLIN, 0}};
  const nfds_t count = t_stop_fd >= 0 ? 2 : 1;
  int ready;
  do {
    ready = ::poll(fds, count, timeout_ms > 0 ? timeout_ms : -1);
  } while (ready < 0 && errno == EINTR);
  if (ready > 0 && count == 2 && (fds[1].revents & POLLIN) != 0) {
    errno = ECANCELED;
    return -1;
  }
  if (ready == 0) errno = ETIMEDOUT;
  return ready;
}

// A dump connection with the same replica id as an older one makes the server end the
// older one: unique per process and feed, stable across this feed's reconnections (so a
// dump thread the server still keeps from before is replaced, not doubled).
uint32_t NewReplicaServerId() {
  static std::atomic<uint32_t> feeds{0};
  const auto pid = static_cast<uint32_t>(::getpid());
  return 0x40000000u | ((pid & 0x3FFFFFu) << 8) | (feeds.fetch_add(1) & 0xFFu);
}

std::string ErrorText(MYSQL* mysql) {
  return std::string(mysql_error(mysql)) + " (" + std::to_string(mysql_errno(mysql)) + ")";
}

bool IsUnreachable(unsigned int error) {
  switch (error) {
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_UNKNOWN_HOST:
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case ER_SERVER_SHUTDOWN:
    case ER_CONNECTION_KILLED:
      return true;
    default:
      return false;
  }
}

struct ServerSettings {
  bool log_bin = false;
  std::string binlog_format;
  std::string gtid_binlog_pos;
};

// Every account may read these; false (error on the connection) when the query failed.
bool ReadSettings(MYSQL* mysql, ServerSettings* settings) {
  constexpr std::string_view kSql =
      "SELECT @@global.log_bin, @@global.binlog_format, @@global.gtid_binlog_pos";
  if (mysql_real_query(mysql, kSql.data(), kSql.size()) != 0) return false;
  MYSQL_RES* result = mysql_store_result(mysql);
  if (result == nullptr) return false;
  MYSQL_ROW row = mysql_fetch_row(result);
  const bool complete = row != nullptr && mysql_num_fields(result) == 3;
  if (complete) {
    settings->log_bin = row[0] != nullptr && std::strcmp(row[0], "1") == 0;
    settings->binlog_format = row[1] != nullptr ? row[1] : "";
    settings->gtid_binlog_pos = row[2] != nullptr ? row[2] : "";
  }
  mysql_free_result(result);
  return complete;
}

std::string Quote(MYSQL* mysql, const std::string& text) {
  std::string escaped(text.size() * 2 + 1, '\0');
  escaped.resize(mysql_real_escape_string(mysql, escaped.data(), text.data(), text.size()));
  return "'" + escaped + "'";
}

}  // namespace

std::string DescribeFeedStatus(const FeedStatus& status) {
  const char* what = "up";
  switch (status.reason) {
    case FeedDownReason::kNone:
      break;
    case FeedDownReason::kStarting:
      what = "starting";
      break;
    case FeedDownReason::kNoBinaryLog:
      what = "no binary log";
      break;
    case FeedDownReason::kNotRowFormat:
      what = "binary log not in row format";
      break;
    case FeedDownReason::kNoPrivilege:
      what = "no privilege to read the binary log";
      break;
    case FeedDownReason::kConnectionLost:
      what = "connection lost";
      break;
    case FeedDownReason::kServerGone:
      what = "server gone";
      break;
    case FeedDownReason::kRefused:
      what = "refused";
      break;
  }
  return status.detail.empty() ? what : std::string(what) + " (" + status.detail + ")";
}

ChangeFeed::ChangeFeed(WakeUp wake_up) : ChangeFeed(std::move(wake_up), Options()) {}

ChangeFeed::ChangeFeed(WakeUp wake_up, const Options& options)
    : wake_up_(std::move(wake_up)),
      options_(options),
      server_id_(NewReplicaServerId()),
      stop_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ChangeFeed::~ChangeFeed() {
  Stop();
  if (stop_fd_ >= 0) ::close(stop_fd_);
}

void ChangeFeed::Start() {
  std::call_once(started_, [this] {
    if (stop_fd_ < 0) {
      SetStatus(false, FeedDownReason::kRefused,
                std::string("no stop signal (eventfd): ") + std::strerror(errno));
      return;
    }
    thread_ = std::thread([this] { Run(); });
  });
}

void ChangeFeed::Stop() {
  stopping_.store(true, std::memory_order_release);
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop_fd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
}

FeedStatus ChangeFeed::Status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

std::vector<ChangeLogCommits::Committed> ChangeFeed::TakeCommits(uint64_t* status_changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (status_changes != nullptr) *status_changes = status_.changes;
  commits_rows_ = 0;
  commits_bytes_ = 0;
  return std::exchange(commits_, {});
}

void ChangeFeed::Keep(ChangeLogCommits::Committed&& committed) {
  std::lock_guard<std::mutex> lock(mutex_);
  commits_rows_ += committed.rows.size();
  for (const ConfigTableChangesData& row : committed.rows) commits_bytes_ += row.value.size();
  if (commits_rows_ > options_.kept_rows || commits_bytes_ > options_.kept_bytes) {
    // A reader that fell this far behind reads the log itself.
    commits_.clear();
    commits_rows_ = 0;
    commits_bytes_ = 0;
    committed = ChangeLogCommits::Committed();
    committed.why_incomplete = "more rows committed than the feed keeps";
  }
  commits_.push_back(std::move(committed));
}

void ChangeFeed::SetStatus(bool up, FeedDownReason reason, std::string detail) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_.up == up && status_.reason == reason && status_.detail == detail) return;
    status_.up = up;
    status_.reason = reason;
    status_.detail = std::move(detail);
    if (!up) {
      status_.last_down = reason;
      status_.last_down_detail = status_.detail;
    }
    ++status_.changes;
  }
  wake_up_();
}

bool ChangeFeed::Pause(milliseconds delay) const {
  if (delay.count() > 0) {
    pollfd stop{stop_fd_, POLLIN, 0};
    while (::poll(&stop, 1, static_cast<int>(delay.count())) < 0 && errno == EINTR) {
    }
  }
  return !Stopping();
}

void ChangeFeed::Run() {
  t_stop_fd = stop_fd_;
  milliseconds backoff{0};  // before the next attempt after a transient failure
  while (!Stopping()) {
    const Outcome outcome = Follow();
    if (Stopping()) break;
    SetStatus(false, outcome.reason, outcome.detail);
    milliseconds delay = options_.settings_retry;
    if (outcome.reason == FeedDownReason::kServerGone ||
        outcome.reason == FeedDownReason::kConnectionLost) {
      if (outcome.up_for >= kSteadyUp) backoff = milliseconds(0);
      delay = backoff;
      backoff = backoff.count() == 0 ? options_.first_retry
                                     : std::min(backoff * 2, options_.longest_retry);
    }
    if (!Pause(delay)) break;
  }
}

ChangeFeed::Outcome ChangeFeed::Follow() {
  MYSQL* mysql = mysql_init(nullptr);
  if (mysql == nullptr) return {FeedDownReason::kRefused, "mysql_init failed", {}};
  struct Closer {
    MYSQL* mysql;
    MARIADB_RPL* rpl = nullptr;
    MARIADB_RPL_EVENT* event = nullptr;
    ~Closer() {
      mariadb_free_rpl_event(event);
      mariadb_rpl_close(rpl);
      mysql_close(mysql);
    }
  } closer{mysql};

  // The connect time-out also bounds each wait of the handshake; the read time-out each wait
  // for the stream, which the heartbeat keeps shorter while the server is there.
  unsigned int connect_timeout = static_cast<unsigned int>(options_.connect_timeout.count());
  unsigned int io_timeout = static_cast<unsigned int>(options_.read_timeout.count());
  mysql_optionsv(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  mysql_optionsv(mysql, MYSQL_OPT_READ_TIMEOUT, &io_timeout);
  mysql_optionsv(mysql, MYSQL_OPT_WRITE_TIMEOUT, &io_timeout);
  mysql_optionsv(mysql, MARIADB_OPT_IO_WAIT, reinterpret_cast<void*>(&WaitForSocketOrStop));

  const DbAccount& account = options_.account;
  // Why a connection that never got to stream ended.
  const auto refused = [&](FeedDownReason otherwise) -> Outcome {
    const unsigned int error = mysql_errno(mysql);
    FeedDownReason reason = otherwise;
    if (IsUnreachable(error)) reason = FeedDownReason::kServerGone;
    if (error == ER_SPECIFIC_ACCESS_DENIED_ERROR) reason = FeedDownReason::kNoPrivilege;
    return {reason, ErrorText(mysql), {}};
  };
  if (mysql_real_connect(mysql, account.host.c_str(), account.user.c_str(),
                         account.password.c_str(), nullptr, account.port, nullptr, 0) == nullptr) {
    return refused(FeedDownReason::kRefused);
  }

  // The GTID position and the dump settings below are MariaDB's; a MySQL server would start
  // the stream at its oldest log instead.
  const char* version = mysql_get_server_info(mysql);
  if (version == nullptr || std::strstr(version, "MariaDB") == nullptr) {
    return {FeedDownReason::kRefused,
            std::string("not a MariaDB server: ") + (version != nullptr ? version : "?"),
            {}};
  }
  ServerSettings settings;
  if (!ReadSettings(mysql, &settings)) return refused(FeedDownReason::kRefused);
  if (!settings.log_bin) return {FeedDownReason::kNoBinaryLog, "log_bin is OFF", {}};
  if (settings.binlog_format != "ROW") {
    return {FeedDownReason::kNotRowFormat, "binlog_format is " + settings.binlog_format, {}};
  }

  // Follow from the current GTID position; take the server's checksums (the client library
  // checks them) and its heartbeats; capability 4: a replica that understands GTIDs.
  const long long heartbeat_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(options_.heartbeat).count();
  const std::string dump_settings =
      "SET @mariadb_slave_capability = 4, @slave_connect_state = " +
      Quote(mysql, settings.gtid_binlog_pos) +
      ", @slave_gtid_strict_mode = 0, @slave_gtid_ignore_duplicates = 0"
      ", @master_binlog_checksum = @@global.binlog_checksum"
      ", @master_heartbeat_period = " +
      std::to_string(heartbeat_ns);
  if (mysql_real_query(mysql, dump_settings.data(), dump_settings.size()) != 0) {
    return refused(FeedDownReason::kRefused);
  }

  closer.rpl = mariadb_rpl_init(mysql);
  if (closer.rpl == nullptr) return refused(FeedDownReason::kRefused);
  mariadb_rpl_optionsv(closer.rpl, MARIADB_RPL_SERVER_ID, static_cast<unsigned int>(server_id_));
  mariadb_rpl_optionsv(closer.rpl, MARIADB_RPL_START, 4UL);
  mariadb_rpl_optionsv(closer.rpl, MARIADB_RPL_UNCOMPRESS, 1U);
  if (mariadb_rpl_open(closer.rpl) != 0) return refused(FeedDownReason::kRefused);

  // The server answers the dump request with its first event, or with why it refuses.
  ChangeLogCommits commits(options_.kept_bytes);
  ChangeLogTable table;
  Clock::time_point up_since;
  bool up = false;
  // A failed fetch frees the event it was given, so the pointer is replaced every time.
  while ((closer.event = mariadb_rpl_fetch(closer.rpl, closer.event)) != nullptr) {
    if (!up) {
      up = true;
      up_since = Clock::now();
      SetStatus(true, FeedDownReason::kNone, "");
    }
    if (HandleFeedEvent(closer.rpl, &closer.event, table, options_.take_rows, commits)) {
      Keep(commits.TakeCommitted());
      wake_up_();
    }
  }
  if (!up) return refused(FeedDownReason::kRefused);
  std::string detail = mysql_errno(mysql) != 0 ? ErrorText(mysql) : "the server ended the stream";
  return {FeedDownReason::kConnectionLost, std::move(detail), Clock::now() - up_since};
}

}  // namespace config_center
