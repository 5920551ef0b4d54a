#include "support/percentile.hpp"

#include <algorithm>
#include <cmath>

namespace config_center::test {

double Percentile(std::vector<double> values, double percent) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  // Multiplied first, so that whole ranks (99 % of 200) stay whole.
  const auto rank =
      static_cast<size_t>(std::ceil(percent * static_cast<double>(values.size()) / 100.0));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

}  // namespace config_center::test
