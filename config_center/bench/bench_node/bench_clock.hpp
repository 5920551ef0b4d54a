#ifndef CONFIG_CENTER_BENCH_NODE_BENCH_CLOCK_HPP_
#define CONFIG_CENTER_BENCH_NODE_BENCH_CLOCK_HPP_

#include <chrono>

namespace config_center::bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_BENCH_CLOCK_HPP_
