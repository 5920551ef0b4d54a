#include <string>
#include <utility>

#include "node/config_center.hpp"
#include "store/db_connection.hpp"
#include "logging/logging.hpp"
#include "status/node_status.hpp"

namespace config_center {

StatusSnapshot ConfigCenter::Snapshot() const {
  StatusSnapshot snapshot;
  snapshot.pass_failure = pass_failure_;
  snapshot.pass_error_number = pass_error_number_;
  snapshot.failing_since = failing_since_;
  snapshot.position = change_log_.position();
  snapshot.newest_read = change_log_.newest_read();
  snapshot.learns_of_changes = change_log_.SourceText();
  snapshot.late_ids_waited = change_log_.missing();
  snapshot.ids_given_up = change_log_.ids_given_up();
  snapshot.passed_over = passed_over_;
  snapshot.last_passed_over = last_passed_over_;
  snapshot.held = targets_.HeldTargets();
  snapshot.changes_queued = targets_.size();
  const LoggedErrors& errors = GetLoggedErrors();
  snapshot.errors_logged = errors.count;
  snapshot.last_error = errors.last;
  snapshot.last_error_at = errors.last_at;
  return snapshot;
}

void ConfigCenter::NotePass(const std::string& failure) {
  // The usual pass reads the log as the one before did: nothing to note.
  if (failure.empty() && pass_failure_.empty()) return;
  if (failure.empty()) {
    pass_failure_.clear();
    pass_error_number_ = 0;
    NotifyStatus();
    return;
  }
  const bool was_failing = !pass_failure_.empty();
  pass_failure_ = failure;
  // The failing statement was the pass's last one.
  pass_error_number_ = DbConnection::GetInstance().LastQueryErrno();
  if (!was_failing) {
    failing_since_ = StatusSnapshot::Clock::now();
    NotifyStatus();
  }
}

void ConfigCenter::NotePassedOver(std::string what) {
  ++passed_over_;
  last_passed_over_ = std::move(what);
}

void ConfigCenter::NotifyStatus() const {
  if (status_listener_) status_listener_(true);
}

}  // namespace config_center
