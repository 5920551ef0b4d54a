#ifndef CONFIG_CENTER_CHANGE_LOG_GAPS_HPP_
#define CONFIG_CENTER_CHANGE_LOG_GAPS_HPP_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace config_center {

// An id that stays missing this long is given up: a rolled-back insert or an auto-increment
// step never fills its hole, while a transaction that commits late does so within this time.
inline constexpr std::chrono::minutes kGiveUpMissingIdAfter{10};
// How often the missing ids are looked for; the per-tick work stays one read of the maximum.
inline constexpr std::chrono::milliseconds kMissingIdLookupInterval{100};
// More holes than this (an auto-increment step of 2 under a heavy change rate) would make the
// lookup statement grow without bound; the oldest are given up early instead.
inline constexpr size_t kMaxMissingIdRanges = 1000;

// The change-log ids that the position has moved past without their rows. A change-log id is
// taken when its row is inserted, but the row becomes visible only when its transaction
// commits, so a transaction that commits after a later one leaves a hole until it does. Holes
// are kept as ranges of ids, each with the time it was noticed. Time is passed in.
class ChangeLogGaps {
public:
  using Clock = std::chrono::steady_clock;

  struct Range {
    int64_t first;
    int64_t last;
    Clock::time_point since;  // when these ids were found missing
  };

  explicit ChangeLogGaps(Clock::duration give_up_after = kGiveUpMissingIdAfter,
                         Clock::duration lookup_interval = kMissingIdLookupInterval,
                         size_t max_ranges = kMaxMissingIdRanges);

  // The ids first..last went missing at `now` (first above every id already held).
  void Add(int64_t first, int64_t last, Clock::time_point now);
  // The row `id` showed up and was handled: it is no longer missing. False when it was not.
  bool Remove(int64_t id);
  bool Contains(int64_t id) const;
  // Forgets every missing id (the log was emptied: none of them will come).
  void Clear();
  bool empty() const { return ranges_.empty(); }

  // True while ids are missing and the last lookup is at least the lookup interval ago; the
  // caller then looks them up.
  bool LookupDue(Clock::time_point now);
  // The SQL condition that selects the missing ids, e.g. "id in (4,9) or id between 12 and 20".
  std::string Condition() const;
  // Removes and returns, in id order, the ranges missing for the whole wait, and those
  // crowded out by the limit on ranges.
  std::vector<Range> TakeGivenUp(Clock::time_point now);

  void set_give_up_after(Clock::duration wait) { give_up_after_ = wait; }
  Clock::duration give_up_after() const { return give_up_after_; }

private:
  Clock::duration give_up_after_;
  Clock::duration lookup_interval_;
  size_t max_ranges_;
  std::map<int64_t, Range> ranges_;  // by first id; ranges never overlap
  std::vector<Range> crowded_out_;
  Clock::time_point next_lookup_{};
};

}  // namespace config_center

#endif  // CONFIG_CENTER_CHANGE_LOG_GAPS_HPP_
