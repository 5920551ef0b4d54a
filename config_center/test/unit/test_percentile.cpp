// The one percentile convention of the tests and both benchmarks: nearest rank.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "support/percentile.hpp"

namespace config_center::test {
namespace {

TEST(Percentile, NearestRankOfTheSortedValues) {
  const std::vector<double> ten{7, 3, 10, 1, 9, 2, 8, 4, 6, 5};  // 1 to 10, unsorted
  EXPECT_EQ(Percentile(ten, 50), 5);                             // 5 of the 10 do not exceed it
  EXPECT_EQ(Percentile(ten, 51), 6);
  EXPECT_EQ(Percentile(ten, 90), 9);
  EXPECT_EQ(Percentile(ten, 99), 10);
  EXPECT_EQ(Percentile(ten, 100), 10);
  EXPECT_EQ(Percentile(ten, 0), 1);

  // Whole ranks stay whole: the 99th percentile of 200 values is the 198th.
  std::vector<double> many;
  for (int i = 1; i <= 200; ++i) many.push_back(i);
  EXPECT_EQ(Percentile(many, 99), 198);
  EXPECT_EQ(Percentile(many, 50), 100);

  EXPECT_EQ(Percentile({4.5}, 50), 4.5);
  EXPECT_EQ(Percentile({4.5}, 99), 4.5);
}

TEST(Percentile, NoValuesGiveNoFigure) { EXPECT_TRUE(std::isnan(Percentile({}, 50))); }

}  // namespace
}  // namespace config_center::test
