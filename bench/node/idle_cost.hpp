#ifndef CONFIG_CENTER_BENCH_NODE_IDLE_COST_HPP_
#define CONFIG_CENTER_BENCH_NODE_IDLE_COST_HPP_

#include <sys/types.h>

#include <memory>
#include <string>

#include "node/bench_options.hpp"
#include "support/process.hpp"

namespace config_center::bench {

// CPU shares (percent of one core) of the idle node and of what it is measured against.
struct IdleCost {
  double floor = 0;                   // a bare 1 kHz sleep loop, beside the idle node
  double node = 0;                    // the idle node
  double mariadb_without = 0;         // MariaDB with nobody polling it
  double mariadb_with = 0;            // MariaDB beside the idle node
  double poll_loop = 0;               // a 1 kHz loop reading the change-log maximum, no ROS
  double mariadb_with_poll_loop = 0;  // MariaDB beside that loop
};

// The reference loops, run as this program's children (`self --floor-loop`, `--poll-loop`);
// they never return and die with their parent.
[[noreturn]] void FloorLoop();
[[noreturn]] void PollLoop();

// Measures MariaDB alone, then beside the poll loop (no node runs), and starts the floor loop
// for MeasureIdleNode. `self` is this program's path.
std::unique_ptr<test::Process> MeasureWithoutNode(const std::string& self, const Options& o,
                                                  const std::string& label, IdleCost* idle);

// The idle node beside the floor loop and MariaDB, in one window; stops the floor loop.
void MeasureIdleNode(pid_t node, std::unique_ptr<test::Process> floor, const Options& o,
                     const std::string& label, IdleCost* idle);

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_IDLE_COST_HPP_
