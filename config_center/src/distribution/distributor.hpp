#ifndef CONFIG_CENTER_DISTRIBUTOR_HPP_
#define CONFIG_CENTER_DISTRIBUTOR_HPP_

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "distribution/applier.hpp"
#include "distribution/distribution_record.hpp"
#include "distribution/target_queues.hpp"
#include "store/effective_items.hpp"
#include "store/item_change.hpp"
#include "store/item_store.hpp"

namespace config_center {

// What the distributor tells the rest of the node. Any of them may be empty.
struct DistributionEvents {
  // A change or an item that can never be applied: `what` names it and says why.
  std::function<void(const std::string& what)> passed_over;
  // A target started or stopped being held.
  std::function<void()> held_or_released;
  // An attempt ended outside a pump (an answer from the executor), and what it let through
  // was started: retries and deadlines may have moved.
  std::function<void()> attempt_ended;
  // How one change ended up, for the item states: every attempt's outcome (kLater: its
  // target is held, and `reason` says why), the files start-up put into effect together
  // (kDone), and changes passed over before any attempt (kNever).
  std::function<void(const PendingChange& change, Outcome outcome, const std::string& reason)>
      outcome;
};

// Decides what goes into effect, when, and in which order; the appliers only do it. Each
// change goes to its target's queue (the node of a parameter, the file of a file item):
// changes of one target in order, a target that cannot take its change now held and retried
// with a back-off while every other target goes on. What was put into effect is noted in
// the record before it goes out, so start-up and a resynchronisation withdraw what the
// tables lost and never touch what the node did not write. Main thread only.
class Distributor {
public:
  // At most this many bytes of item values are read at once at start-up and in a
  // resynchronisation (or the single largest item, where that is larger).
  static constexpr int64_t kPartBytes = int64_t{64} << 20;

  Distributor(ItemStore& store, DistributionRecord& record, BatchApplier& files, Applier& params,
              DistributionEvents events, int64_t part_bytes = kPartBytes);

  // Queues a change for its target. A change that can never be applied (no known kind, a
  // node name that makes no service name, a file name that can never be a file) is logged,
  // with its change-log id or its item's name, and passed over.
  void Submit(ItemChange change);

  // Start-up and resynchronisation: the items in effect (custom_config over global_config)
  // go out once each (files together, parameters through their queues), and what the record
  // holds that the tables lack is withdrawn. The keys are read first; the values follow a
  // part of at most part_bytes at a time, each part put into effect before the next is
  // read, so memory is bounded by bytes, not by the size of the tables. False when a table
  // cannot be read (its failure line is logged); nothing more is distributed then.
  // `in_effect`, when given, gets how many items are in effect. With `while_files`
  // (start-up), each part's parameters go out first and its files are written and flushed on
  // a thread of their own while `while_files` runs on this one (it serves the parameter
  // calls), so that neither waits for the other; file targets wait meanwhile.
  bool DistributeTables(size_t* in_effect = nullptr,
                        const std::function<void()>& while_files = nullptr);

  // While start-up distributes, held targets wait for the main loop instead of being
  // retried.
  void BeginStartup() { starting_ = true; }
  void EndStartup() { starting_ = false; }

  // Attempts the first change of every target whose turn it is, until none is due.
  void Pump();
  // Held parameter targets that their applier finds reachable again are retried at once.
  void RetryReachable();
  // A restarted node gets its parameters again, read now (the newest values), through its
  // queue behind what it still has to take.
  void ResendParams(const std::string& node_name);

  std::optional<TargetQueues::Clock::time_point> NextRetry() const { return targets_.NextRetry(); }
  const TargetQueues& targets() const { return targets_; }
  const DistributionRecord& record() const { return record_; }

private:
  // Adds the keys of the live items of `table` to `items` (a later table's item replaces an
  // earlier one's); false when the table cannot be read. An item of no known kind is logged
  // and passed over.
  bool ReadTable(const char* table, EffectiveItems* items);
  // Reads the values of items[begin, end) into them; false when a table cannot be read.
  bool ReadValues(std::vector<StoredItem>& items, size_t begin, size_t end);
  // Puts items[begin, end) into effect: parameters to their queues, files together.
  void DistributePart(std::vector<StoredItem>& items, size_t begin, size_t end,
                      const std::function<void()>& while_files);
  // The files into effect together (beside `while_files`, when given); those to be tried
  // again alone.
  std::vector<ConfigData> ApplyFilesTogether(const std::vector<ConfigData>& files,
                                             const std::function<void()>& while_files);
  // What the record holds that `items` lacks is withdrawn.
  void WithdrawWhatWentAway(const EffectiveItems& items);
  // Queues `change` as it stands (`announced` set where its failure was logged already).
  void Queue(PendingChange change);
  void Attempt(const Target& target);
  // How an attempt ended; `outside_pump`: it came from the executor after Apply returned.
  // How an attempt of several changes ended: one outcome each, in their order; the first
  // kLater holds the target with it and those after it.
  void Finish(const Target& target, const Applier::Outcomes& outcomes, bool outside_pump);
  void PassOver(const std::string& what);
  void Tell(const PendingChange& change, Outcome outcome, const std::string& reason);
  Applier& ApplierOf(int32_t kind);
  void SaveRecord();

  ItemStore& store_;
  DistributionRecord& record_;
  BatchApplier& files_;
  Applier& params_;
  DistributionEvents events_;
  int64_t part_bytes_;
  TargetQueues targets_;
  bool starting_ = false;
  bool files_busy_ = false;      // the files go in together on another thread: file targets wait
  bool record_failing_ = false;  // its last save failed (logged once)
};

}  // namespace config_center

#endif  // CONFIG_CENTER_DISTRIBUTOR_HPP_
