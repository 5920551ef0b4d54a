#include "status/node_status.hpp"

#include <errmsg.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

namespace config_center {

namespace {

// Errors that say the server cannot be reached: the client's own connection errors and the
// server's "going away" answers.
constexpr unsigned int kConnectionErrors[] = {
    CR_SOCKET_CREATE_ERROR,
    CR_CONNECTION_ERROR,
    CR_CONN_HOST_ERROR,
    CR_IPSOCK_ERROR,
    CR_UNKNOWN_HOST,
    CR_SERVER_GONE_ERROR,
    CR_SERVER_HANDSHAKE_ERR,
    CR_SERVER_LOST,
    CR_SSL_CONNECTION_ERROR,
    CR_SERVER_LOST_EXTENDED,
    CR_ERR_NET_READ,
    CR_ERR_NET_WRITE,
    1040,  // ER_CON_COUNT_ERROR: too many connections
    1045,  // ER_ACCESS_DENIED_ERROR: the account cannot log in
    1053,  // ER_SERVER_SHUTDOWN
    1927,  // ER_CONNECTION_KILLED
};

std::string Seconds(std::chrono::steady_clock::duration age) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(age).count());
  return text;
}

std::string WallText(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          when - std::chrono::system_clock::from_time_t(seconds))
                          .count();
  char text[48];
  std::snprintf(text, sizeof text, "%s.%03d", date, static_cast<int>(millis));
  return text;
}

std::string Changes(size_t count) {
  return std::to_string(count) + (count == 1 ? " change" : " changes");
}

}  // namespace

NodeStatus::NodeStatus(StatusSnapshot snapshot, Clock::time_point now,
                       WallClock::time_point wall_now)
    : snapshot_(std::move(snapshot)), now_(now), wall_now_(wall_now) {
  // Oldest first: the target held longest is the one to name.
  std::stable_sort(
      snapshot_.held.begin(), snapshot_.held.end(),
      [](const TargetQueues::Held& a, const TargetQueues::Held& b) { return a.since < b.since; });
}

bool NodeStatus::ConnectionLost(unsigned int error_number) {
  return std::find(std::begin(kConnectionErrors), std::end(kConnectionErrors), error_number) !=
         std::end(kConnectionErrors);
}

bool NodeStatus::DatabaseLost() const {
  return !snapshot_.pass_failure.empty() && ConnectionLost(snapshot_.pass_error_number);
}

bool NodeStatus::HeldTooLong(const TargetQueues::Held& held) const {
  return now_ - held.since >= kHeldTooLong;
}

StatusLevel NodeStatus::level() const {
  if (!snapshot_.pass_failure.empty()) return StatusLevel::kError;
  if (snapshot_.password_public) return StatusLevel::kWarn;
  for (const TargetQueues::Held& held : snapshot_.held) {
    if (HeldTooLong(held)) return StatusLevel::kWarn;
  }
  return StatusLevel::kOk;
}

std::optional<NodeStatus::Clock::time_point> NodeStatus::NextLevelChange() const {
  // An error stays until a pass reads the log again, whatever the targets do.
  if (!snapshot_.pass_failure.empty()) return std::nullopt;
  // A public password is a warning for as long as the node runs: a target crossing the
  // threshold adds to it without changing the level.
  if (snapshot_.password_public) return std::nullopt;
  std::optional<Clock::time_point> next;
  for (const TargetQueues::Held& held : snapshot_.held) {
    if (HeldTooLong(held)) return std::nullopt;  // already a warning; only a release ends it
    const Clock::time_point at = held.since + kHeldTooLong;
    if (!next || at < *next) next = at;
  }
  return next;
}

std::vector<StatusEntry> NodeStatus::Entries() const {
  return {Database(), ChangeLog(), Targets(), LastError()};
}

std::string NodeStatus::Moment(Clock::time_point when) const {
  return WallText(wall_now_ - std::chrono::duration_cast<WallClock::duration>(now_ - when)) + " (" +
         Seconds(now_ - when) + " ago)";
}

StatusEntry NodeStatus::Database() const {
  StatusEntry entry{"Database", StatusLevel::kOk, "connected", {}};
  if (DatabaseLost()) {
    entry.level = StatusLevel::kError;
    entry.message = "lost: " + snapshot_.pass_failure;
    entry.values = {{"Lost since", Moment(snapshot_.failing_since)},
                    {"Error number", std::to_string(snapshot_.pass_error_number)}};
  }
  if (snapshot_.password_public) {
    if (entry.level == StatusLevel::kOk) entry.level = StatusLevel::kWarn;
    entry.message += "; the password of its account " + snapshot_.account_user +
                     " is public (fixed in the program): run deploy/setup_robot.sh";
  }
  entry.values.emplace_back("Account",
                            snapshot_.account_user + " (" + snapshot_.account_source + ")");
  entry.values.emplace_back(
      "Password", snapshot_.password_public ? "public: fixed in the program" : "the robot's own");
  return entry;
}

StatusEntry NodeStatus::ChangeLog() const {
  const StatusSnapshot& s = snapshot_;
  const int64_t behind = std::max<int64_t>(0, s.newest_read - s.position);
  StatusEntry entry{
      "Change log", StatusLevel::kOk, "followed after id " + std::to_string(s.position), {}};
  if (behind > 0) entry.message += ", " + std::to_string(behind) + " rows still to read";
  if (DatabaseLost()) {
    entry.level = StatusLevel::kError;
    entry.message = "not followed while the database is lost; the position stays at id " +
                    std::to_string(s.position);
  } else if (!s.pass_failure.empty()) {
    entry.level = StatusLevel::kError;
    entry.message = "cannot be read: " + s.pass_failure;
    entry.values.emplace_back("Failing since", Moment(s.failing_since));
  }
  entry.values.emplace_back("Position", std::to_string(s.position));
  entry.values.emplace_back("Newest id read", std::to_string(s.newest_read));
  entry.values.emplace_back("Behind", std::to_string(behind) + " rows");
  entry.values.emplace_back("Learns of changes", s.learns_of_changes);
  entry.values.emplace_back("Late ids waited for", s.late_ids_waited ? "yes" : "none");
  entry.values.emplace_back("Ids given up", std::to_string(s.ids_given_up));
  entry.values.emplace_back("Passed over", std::to_string(s.passed_over));
  entry.values.emplace_back("Last passed over", s.passed_over == 0 ? "none" : s.last_passed_over);
  return entry;
}

StatusEntry NodeStatus::Targets() const {
  const std::vector<TargetQueues::Held>& held = snapshot_.held;
  StatusEntry entry{"Targets", StatusLevel::kOk, "none held", {}};
  size_t too_long = 0;
  for (const TargetQueues::Held& one : held) {
    if (HeldTooLong(one)) ++too_long;
    entry.values.emplace_back(one.target.Text(), "held since " + Moment(one.since) + ": " +
                                                     one.reason + "; " + Changes(one.pending) +
                                                     " waiting");
  }
  entry.values.emplace_back("Changes queued", std::to_string(snapshot_.changes_queued));
  if (!snapshot_.item_states.empty()) entry.values.emplace_back("Items", snapshot_.item_states);
  const DriftCounts& drift = snapshot_.drift;
  entry.values.emplace_back("Changed by others, set back", std::to_string(drift.restored));
  entry.values.emplace_back("Changed by others, left (drift_policy report)",
                            std::to_string(drift.reported));
  entry.values.emplace_back("Held as their node kept changing them",
                            std::to_string(drift.held_fighting) + " times, " +
                                std::to_string(drift.while_held) + " changes while held");
  if (held.empty()) return entry;
  // The message names the target held longest, and why.
  const TargetQueues::Held& oldest = held.front();
  const std::string named =
      oldest.target.Text() + " for " + Seconds(now_ - oldest.since) + ": " + oldest.reason;
  if (too_long == 0) {
    entry.message = std::to_string(held.size()) + " held for less than " +
                    std::to_string(kHeldTooLong.count()) + " s, " + named;
  } else {
    entry.level = StatusLevel::kWarn;
    entry.message = std::to_string(too_long) + " held for more than " +
                    std::to_string(kHeldTooLong.count()) + " s, the longest " + named;
    if (held.size() > too_long) {
      entry.message += "; " + std::to_string(held.size() - too_long) + " held for less";
    }
  }
  return entry;
}

StatusEntry NodeStatus::LastError() const {
  // A past error is for the record: it raises no level; what still fails does, above.
  StatusEntry entry{"Last error", StatusLevel::kOk, "none logged since start-up", {}};
  if (snapshot_.errors_logged == 0) return entry;
  entry.message = snapshot_.last_error;
  const auto age = wall_now_ - snapshot_.last_error_at;
  entry.values = {
      {"Logged at", WallText(snapshot_.last_error_at) + " (" +
                        Seconds(std::chrono::duration_cast<Clock::duration>(age)) + " ago)"},
      {"Errors logged", std::to_string(snapshot_.errors_logged)}};
  return entry;
}

}  // namespace config_center
