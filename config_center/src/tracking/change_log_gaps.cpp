#include "tracking/change_log_gaps.hpp"

#include <algorithm>
#include <iterator>

namespace config_center {

ChangeLogGaps::ChangeLogGaps(Clock::duration give_up_after, Clock::duration lookup_interval,
                             size_t max_ranges)
    : give_up_after_(give_up_after),
      lookup_interval_(lookup_interval),
      max_ranges_(std::max<size_t>(max_ranges, 1)) {}

void ChangeLogGaps::Add(int64_t first, int64_t last, Clock::time_point now) {
  if (first > last) return;
  ranges_[first] = Range{first, last, now};
  // Ids grow with time, so the lowest range is the oldest.
  while (ranges_.size() > max_ranges_) {
    crowded_out_.push_back(ranges_.begin()->second);
    ranges_.erase(ranges_.begin());
  }
}

bool ChangeLogGaps::Remove(int64_t id) {
  auto it = ranges_.upper_bound(id);
  if (it == ranges_.begin()) return false;
  --it;
  Range range = it->second;
  if (id > range.last) return false;
  ranges_.erase(it);
  if (range.first < id) ranges_[range.first] = Range{range.first, id - 1, range.since};
  if (id < range.last) ranges_[id + 1] = Range{id + 1, range.last, range.since};
  return true;
}

void ChangeLogGaps::Clear() {
  ranges_.clear();
  crowded_out_.clear();
}

bool ChangeLogGaps::Contains(int64_t id) const {
  auto it = ranges_.upper_bound(id);
  if (it == ranges_.begin()) return false;
  return id <= std::prev(it)->second.last;
}

bool ChangeLogGaps::LookupDue(Clock::time_point now) {
  if (ranges_.empty() || now < next_lookup_) return false;
  next_lookup_ = now + lookup_interval_;
  return true;
}

std::string ChangeLogGaps::Condition() const {
  std::string single;
  std::string spans;
  for (const auto& [first, range] : ranges_) {
    if (range.first == range.last) {
      single += (single.empty() ? "" : ",") + std::to_string(first);
    } else {
      spans +=
          " or id between " + std::to_string(range.first) + " and " + std::to_string(range.last);
    }
  }
  if (single.empty()) return spans.empty() ? "" : spans.substr(4);
  return "id in (" + single + ")" + spans;
}

std::vector<ChangeLogGaps::Range> ChangeLogGaps::TakeGivenUp(Clock::time_point now) {
  std::vector<Range> given_up = std::move(crowded_out_);
  crowded_out_.clear();
  for (auto it = ranges_.begin(); it != ranges_.end();) {
    if (now - it->second.since >= give_up_after_) {
      given_up.push_back(it->second);
      it = ranges_.erase(it);
    } else {
      ++it;
    }
  }
  std::sort(given_up.begin(), given_up.end(),
            [](const Range& a, const Range& b) { return a.first < b.first; });
  return given_up;
}

}  // namespace config_center
