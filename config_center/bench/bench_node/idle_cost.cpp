#include "bench_node/idle_cost.hpp"

#include <memory>
#include <thread>
#include <vector>

#include "bench_node/bench_report.hpp"
#include "bench_node/reference_processes.hpp"
#include "support/cpu_sampling.hpp"
#include "support/test_db.hpp"

namespace config_center::bench {

Clock::duration SettleTime(const Options& o) {
  return o.quick ? Clock::duration(300ms) : Clock::duration(1s);
}

Baselines MeasureBaselines(const Options& o, const std::string& label) {
  const pid_t server = test::ServerPid();
  Baselines baselines;
  Progress(label + ": bare rclcpp node, and MariaDB with no client at all");
  auto bare = StartReference(Reference::kBareNode);
  std::this_thread::sleep_for(SettleTime(o));
  auto shares = test::CpuShares({bare->pid(), server}, o.idle_seconds);
  baselines.bare_node = shares[0];
  baselines.server_alone = shares[1];
  StopReference(bare);

  Progress(label + ": 1 kHz loop reading the maximum, without ROS");
  auto poll = StartReference(Reference::kPollLoop);
  std::this_thread::sleep_for(SettleTime(o));
  shares = test::CpuShares({poll->pid(), server}, o.idle_seconds);
  baselines.poll_loop = shares[0];
  baselines.server_with_poll_loop = shares[1];
  StopReference(poll);
  return baselines;
}

IdleShares MeasureIdleNode(pid_t node, bool beside_floor, Clock::duration settle, const Options& o,
                           const std::string& what) {
  Progress(what);
  std::vector<pid_t> pids{node, test::ServerPid()};
  std::unique_ptr<test::Process> floor;
  if (beside_floor) {
    floor = StartReference(Reference::kFloorLoop);
    pids.push_back(floor->pid());
  }
  std::this_thread::sleep_for(settle);
  const auto shares = test::CpuShares(pids, o.idle_seconds);
  IdleShares idle;
  idle.node = shares[0];
  idle.server = shares[1];
  if (floor) {
    idle.floor = shares[2];
    StopReference(floor);
  }
  return idle;
}

}  // namespace config_center::bench
