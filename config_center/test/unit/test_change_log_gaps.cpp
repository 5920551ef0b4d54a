// The bookkeeping of change-log ids that went missing below the position. Time is passed in,
// so waits of minutes are checked without sleeping.
#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tracking/change_log_gaps.hpp"

namespace config_center {
namespace {

using namespace std::chrono_literals;
using Clock = ChangeLogGaps::Clock;

std::vector<std::pair<int64_t, int64_t>> Ids(const std::vector<ChangeLogGaps::Range>& ranges) {
  std::vector<std::pair<int64_t, int64_t>> ids;
  for (const auto& range : ranges) ids.emplace_back(range.first, range.last);
  return ids;
}

const Clock::time_point t0 = Clock::time_point() + 1h;

TEST(ChangeLogGaps, RowsThatShowUpSplitTheirRangeAndTheRestKeepsItsTime) {
  ChangeLogGaps gaps(10min);
  gaps.Add(5, 9, t0);
  gaps.Add(12, 12, t0 + 1min);
  EXPECT_EQ(gaps.Condition(), "id in (12) or id between 5 and 9");

  EXPECT_TRUE(gaps.Remove(7));
  EXPECT_TRUE(gaps.Remove(5));
  EXPECT_TRUE(gaps.Remove(9));
  EXPECT_FALSE(gaps.Remove(7));   // already there
  EXPECT_FALSE(gaps.Remove(10));  // never missing
  EXPECT_FALSE(gaps.Remove(4));
  EXPECT_TRUE(gaps.Contains(6));
  EXPECT_TRUE(gaps.Contains(8));
  EXPECT_FALSE(gaps.Contains(7));
  EXPECT_EQ(gaps.Condition(), "id in (6,8,12)");

  // The pieces of the first range were missing since t0, not since they were split off.
  EXPECT_TRUE(gaps.TakeGivenUp(t0 + 10min - 1ns).empty());
  EXPECT_EQ(Ids(gaps.TakeGivenUp(t0 + 10min)),
            (std::vector<std::pair<int64_t, int64_t>>{{6, 6}, {8, 8}}));
  EXPECT_EQ(Ids(gaps.TakeGivenUp(t0 + 11min)),
            (std::vector<std::pair<int64_t, int64_t>>{{12, 12}}));
  EXPECT_TRUE(gaps.empty());
  EXPECT_TRUE(gaps.TakeGivenUp(t0 + 1h).empty());  // each is given up once
}

TEST(ChangeLogGaps, LookupsComeAtTheLowerRateAndOnlyWhileIdsAreMissing) {
  ChangeLogGaps gaps(10min, 100ms);
  EXPECT_FALSE(gaps.LookupDue(t0));
  gaps.Add(2, 2, t0);
  EXPECT_TRUE(gaps.LookupDue(t0));
  EXPECT_FALSE(gaps.LookupDue(t0 + 1ms));
  EXPECT_FALSE(gaps.LookupDue(t0 + 99ms));
  EXPECT_TRUE(gaps.LookupDue(t0 + 100ms));
  EXPECT_FALSE(gaps.LookupDue(t0 + 150ms));
  gaps.Remove(2);
  EXPECT_FALSE(gaps.LookupDue(t0 + 1s));
}

TEST(ChangeLogGaps, BeyondTheLimitTheOldestRangesAreGivenUpAtOnce) {
  ChangeLogGaps gaps(10min, 100ms, 2);
  gaps.Add(1, 1, t0);
  gaps.Add(3, 4, t0 + 1s);
  gaps.Add(6, 6, t0 + 2s);
  gaps.Add(8, 8, t0 + 3s);
  EXPECT_FALSE(gaps.Contains(1));
  EXPECT_FALSE(gaps.Contains(3));
  EXPECT_EQ(gaps.Condition(), "id in (6,8)");
  EXPECT_EQ(Ids(gaps.TakeGivenUp(t0 + 4s)),
            (std::vector<std::pair<int64_t, int64_t>>{{1, 1}, {3, 4}}));
  EXPECT_TRUE(gaps.TakeGivenUp(t0 + 5s).empty());
}

}  // namespace
}  // namespace config_center
