#ifndef CONFIG_CENTER_APPLIER_HPP_
#define CONFIG_CENTER_APPLIER_HPP_

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "distribution/target_queues.hpp"
#include "store/records.hpp"

namespace config_center {

// How an attempt to put one change into effect ended.
enum class Outcome {
  kDone,     // in effect (for a parameter: the target answered, or the node is shutting down)
  kLater,    // may work on another attempt: the target is absent or slow, the file not writable
  kNever,    // cannot work as the item stands: a name that can never be a target
  kRefused,  // handled, but not in effect: the target answered and refused it (the reason is
             // the target's own), or its text cannot be the type the target declared
};

// Puts the changes of one kind of target into effect: the file writer for file items, the
// parameter pusher for parameter items. The distributor decides when; an applier only does.
class Applier {
public:
  // Told once how the attempt ended, now or later; `reason` says why for kLater and kNever.
  using Finish = std::function<void(Outcome outcome, const std::string& reason)>;

  // How each change of one attempt ended, in the order of the changes; a change missing at the
  // end was not attempted (it waits for the next attempt).
  using Outcomes = std::vector<std::pair<Outcome, std::string>>;
  using FinishAll = std::function<void(const Outcomes& outcomes)>;

  virtual ~Applier() = default;

  // Whether changes of `change`'s target can ever be applied (its node name makes a service
  // name, its file name names a file below the configs directory). False with the reason in
  // `why`, already logged in the applier's own words.
  virtual bool Accepts(const PendingChange& change, std::string* why) = 0;
  // Whether a held target is worth another attempt now (a node is on the ROS graph). A target
  // that is not is held again without an attempt.
  virtual bool Reachable(const Target& target) = 0;
  // Starts putting `change` into effect on `target`; `finish` is called exactly once, before
  // this returns or later from the executor. Only a change's first attempt is logged
  // (`change.announced` is false then).
  virtual void Apply(const Target& target, const PendingChange& change, Finish finish) = 0;
  // Why `target` is held when it is not reachable.
  virtual std::string UnreachableReason(const Target& target) = 0;

  // How many changes of one target one attempt may carry; with more than one, attempts go
  // through ApplyInOne.
  virtual size_t MostInOne() const { return 1; }
  // Starts putting `changes` (the first changes of `target`, in their order) into effect in
  // one attempt; `finish` is called exactly once, now or later from the executor. Unless
  // overridden, only the first change is attempted.
  virtual void ApplyInOne(const Target& target, const std::vector<PendingChange>& changes,
                          FinishAll finish) {
    Apply(target, changes.front(), [finish](Outcome outcome, const std::string& reason) {
      finish(Outcomes{{outcome, reason}});
    });
  }
};

// An applier that can also put many items into effect together, as start-up and a
// resynchronisation do.
class BatchApplier : public Applier {
public:
  // Puts `items` (each accepted before) into effect together. Returns those that could not go
  // in with the others (their failure already logged), to be tried again alone.
  virtual std::vector<ConfigData> ApplyTogether(const std::vector<ConfigData>& items) = 0;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_APPLIER_HPP_
