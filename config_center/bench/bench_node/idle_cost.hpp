#ifndef CONFIG_CENTER_BENCH_NODE_IDLE_COST_HPP_
#define CONFIG_CENTER_BENCH_NODE_IDLE_COST_HPP_

#include <sys/types.h>

#include <string>

#include "bench_node/bench_clock.hpp"
#include "bench_node/bench_options.hpp"

namespace config_center::bench {

// What an idle node is weighed against, with no node and no client of the server running.
// CPU shares, percent of one core.
struct Baselines {
  double bare_node = 0;              // an rclcpp node with no timer
  double server_alone = 0;           // MariaDB with no client at all, in the same window
  double poll_loop = 0;              // a 1 kHz loop reading the change-log maximum, no ROS
  double server_with_poll_loop = 0;  // MariaDB beside that loop, in the same window
};

// The idle node and the server over one window.
struct IdleShares {
  double node = 0;
  double server = 0;
  double floor = 0;  // a bare 1 kHz sleep loop in the same window, when asked for
};

// How long a process that just started, or a change just made, is left to settle before a
// window opens.
Clock::duration SettleTime(const Options& o);

// The baselines, each in a window of its own; `label` tags the progress lines. Nothing of
// config_center may run and nothing may be connected to the server.
Baselines MeasureBaselines(const Options& o, const std::string& label);

// The idle node `node` and the server in one window, after `settle`; with `beside_floor`, a
// bare 1 kHz loop runs in the same window and is measured too. `what` tags the progress line.
IdleShares MeasureIdleNode(pid_t node, bool beside_floor, Clock::duration settle, const Options& o,
                           const std::string& what);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_IDLE_COST_HPP_
