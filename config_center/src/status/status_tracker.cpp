#include "status/status_tracker.hpp"

namespace config_center {

void StatusTracker::NotePass(const std::string& failure, unsigned int error_number) {
  // The usual pass reads the log as the one before did: nothing to note.
  if (failure.empty() && pass_failure_.empty()) return;
  if (failure.empty()) {
    pass_failure_.clear();
    pass_error_number_ = 0;
    NotifyChanged();
    return;
  }
  const bool was_failing = !pass_failure_.empty();
  pass_failure_ = failure;
  pass_error_number_ = error_number;
  if (!was_failing) {
    failing_since_ = StatusSnapshot::Clock::now();
    NotifyChanged();
  }
}

void StatusTracker::NotePassedOver(std::string what) {
  ++passed_over_;
  last_passed_over_ = std::move(what);
}

void StatusTracker::NotifyChanged() const {
  if (listener_) listener_(true);
}

void StatusTracker::NotifySecond() const {
  if (listener_) listener_(false);
}

void StatusTracker::Fill(StatusSnapshot* snapshot) const {
  snapshot->pass_failure = pass_failure_;
  snapshot->pass_error_number = pass_error_number_;
  snapshot->failing_since = failing_since_;
  snapshot->passed_over = passed_over_;
  snapshot->last_passed_over = last_passed_over_;
}

}  // namespace config_center
