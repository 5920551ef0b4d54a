#ifndef CONFIG_CENTER_STATUS_TRACKER_HPP_
#define CONFIG_CENTER_STATUS_TRACKER_HPP_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "status/node_status.hpp"

namespace config_center {

// Keeps what the node's status needs beyond what its parts hold themselves: how the passes
// over the change log are going, and what was passed over. Tells a listener when the status
// may change level (a pass starts or stops failing, a target starts or stops being held),
// and once a second besides. Main thread only.
class StatusTracker {
public:
  // `changed`: the level may have changed; otherwise a second has passed. Null: nobody is
  // told.
  using Listener = std::function<void(bool changed)>;
  void SetListener(Listener listener) { listener_ = std::move(listener); }

  // The outcome of a pass over the change log: `failure` empty when it read the log,
  // otherwise what failed and the database's error number.
  void NotePass(const std::string& failure, unsigned int error_number);
  // A change or item that can never be applied: `what` names it and says why.
  void NotePassedOver(std::string what);
  // The level may have changed (a target started or stopped being held, ...).
  void NotifyChanged() const;
  // A second has passed.
  void NotifySecond() const;

  // Fills the pass and passed-over parts of `snapshot`.
  void Fill(StatusSnapshot* snapshot) const;

private:
  // Since when passes fail, and how the last one did (empty: it read the log).
  std::string pass_failure_;
  unsigned int pass_error_number_ = 0;
  StatusSnapshot::Clock::time_point failing_since_{};
  uint64_t passed_over_ = 0;
  std::string last_passed_over_;
  Listener listener_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_STATUS_TRACKER_HPP_
