#ifndef CONFIG_CENTER_TEST_SUPPORT_PERCENTILE_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_PERCENTILE_HPP_

#include <vector>

namespace config_center::test {

// The `percent` percentile (0 to 100) of `values` by nearest rank: the smallest value that at
// least `percent` % of the values do not exceed (50: the median, 100: the maximum). NaN for
// no values, so an empty sample never reads as a figure.
double Percentile(std::vector<double> values, double percent);

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_PERCENTILE_HPP_
