#ifndef CONFIG_CENTER_NODE_STATUS_HPP_
#define CONFIG_CENTER_NODE_STATUS_HPP_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "distribution/target_queues.hpp"
#include "status/item_states.hpp"

namespace config_center {

// The levels of diagnostic_msgs/DiagnosticStatus, by value.
enum class StatusLevel : uint8_t { kOk = 0, kWarn = 1, kError = 2 };

// What the running node tells of itself at one moment (ConfigCenter::Snapshot).
struct StatusSnapshot {
  using Clock = std::chrono::steady_clock;

  // The last pass over the change log: empty when it read the log, else what failed, with the
  // database's error number and since when passes fail.
  std::string pass_failure;
  unsigned int pass_error_number = 0;
  Clock::time_point failing_since{};

  // The database account: its user, where it came from, and whether its password is the
  // public one fixed in the program (a warning for as long as it is).
  std::string account_user;
  std::string account_source;
  bool password_public = false;

  int64_t position = 0;     // the last change-log id taken into account
  int64_t newest_read = 0;  // the log's maximum as the last pass read it
  std::string learns_of_changes;
  bool late_ids_waited = false;  // ids below the position whose rows have not been seen
  uint64_t ids_given_up = 0;

  uint64_t passed_over = 0;      // changes and items that can never be applied
  std::string last_passed_over;  // what the last one was and why

  std::vector<TargetQueues::Held> held;
  size_t changes_queued = 0;

  // The items' states ("3 applied, 1 held, ..."; empty: not known) and drift since start-up.
  std::string item_states;
  DriftCounts drift;

  uint64_t errors_logged = 0;
  std::string last_error;
  std::chrono::system_clock::time_point last_error_at{};
};

// One part of the node's status, as a monitor shows it: a name, a level, a line, and details.
struct StatusEntry {
  std::string name;
  StatusLevel level = StatusLevel::kOk;
  std::string message;
  std::vector<std::pair<std::string, std::string>> values;
};

// What the node reports about itself, and at which level: the database connection, the
// change log, the held targets, the last error. A lost database, or a change log that cannot
// be read, is an error; a target held longer than kHeldTooLong is a warning (a node that
// restarts is held for a moment as a matter of course), and so is an account whose password
// is public.
class NodeStatus {
public:
  using Clock = StatusSnapshot::Clock;
  using WallClock = std::chrono::system_clock;
  static constexpr std::chrono::seconds kHeldTooLong{3};

  // `now` and `wall_now` are the same moment on both clocks.
  NodeStatus(StatusSnapshot snapshot, Clock::time_point now, WallClock::time_point wall_now);

  // The worst level of the entries.
  StatusLevel level() const;
  std::vector<StatusEntry> Entries() const;
  // When the level changes by time alone (a held target crosses kHeldTooLong), if it will.
  std::optional<Clock::time_point> NextLevelChange() const;

  // Whether a database error number says the server cannot be reached (as opposed to a
  // statement the server refused).
  static bool ConnectionLost(unsigned int error_number);

private:
  bool DatabaseLost() const;
  bool HeldTooLong(const TargetQueues::Held& held) const;
  StatusEntry Database() const;
  StatusEntry ChangeLog() const;
  StatusEntry Targets() const;
  StatusEntry LastError() const;
  // "2026-12-09 10:15:02.123 (12.3 s ago)" for a moment on the steady clock.
  std::string Moment(Clock::time_point when) const;

  StatusSnapshot snapshot_;
  Clock::time_point now_;
  WallClock::time_point wall_now_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_NODE_STATUS_HPP_
