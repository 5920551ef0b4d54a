#include "node/idle_cost.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "config_center/db_connection.hpp"
#include "node/bench_clock.hpp"
#include "node/bench_report.hpp"
#include "support/cpu_sampling.hpp"

namespace config_center::bench {

namespace {

// Sleeps until one millisecond after `next`, which then holds that time.
void SleepUntilNextMillisecond(timespec* next) {
  next->tv_nsec += 1000000;
  if (next->tv_nsec >= 1000000000) {
    next->tv_nsec -= 1000000000;
    ++next->tv_sec;
  }
  ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, next, nullptr);
}

pid_t MariadbPid() {
  std::ifstream in("/run/mysqld/mariadbd.pid");
  long pid = 0;
  if (!(in >> pid) || pid <= 0) throw std::runtime_error("cannot read /run/mysqld/mariadbd.pid");
  return static_cast<pid_t>(pid);
}

// A new process's start and discovery chatter settle before a window opens.
void Settle(const Options& o) { std::this_thread::sleep_for(o.quick ? 300ms : 1s); }

}  // namespace

// The reference for idle cost: a process that only wakes every millisecond.
void FloorLoop() {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  timespec next{};
  ::clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    SleepUntilNextMillisecond(&next);
  }
}

// The same 1 kHz loop reading the change-log maximum once per tick through the node's own
// connection code and kept statement, without ROS: what any design that reads the
// database every millisecond costs at the least, on both sides of the connection.
void PollLoop() {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  auto& db = DbConnection::GetInstance();
  if (!db.Connect()) ::_exit(1);
  timespec next{};
  ::clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    SleepUntilNextMillisecond(&next);
    db.Query<IncrementId>("SELECT MAX(id) FROM config_table_changes",
                          DbConnection::Statement::kKept);
  }
}

std::unique_ptr<test::Process> MeasureWithoutNode(const std::string& self, const Options& o,
                                                  const std::string& label, IdleCost* idle) {
  auto floor = std::make_unique<test::Process>(std::vector<std::string>{self, "--floor-loop"});
  const pid_t mariadb = MariadbPid();
  Progress(label + ": idle MariaDB without the node");
  Settle(o);
  idle->mariadb_without = test::CpuShares({mariadb}, o.idle_seconds)[0];
  Progress(label + ": 1 kHz loop reading the maximum, without ROS");
  test::Process poll(std::vector<std::string>{self, "--poll-loop"});
  Settle(o);
  const auto shares = test::CpuShares({poll.pid(), mariadb}, o.idle_seconds);
  idle->poll_loop = shares[0];
  idle->mariadb_with_poll_loop = shares[1];
  poll.Signal(SIGKILL);
  poll.Wait(5s);
  return floor;
}

void MeasureIdleNode(pid_t node, std::unique_ptr<test::Process> floor, const Options& o,
                     const std::string& label, IdleCost* idle) {
  Progress(label + ": idle node beside the floor loop");
  Settle(o);
  const auto shares = test::CpuShares({node, floor->pid(), MariadbPid()}, o.idle_seconds);
  idle->node = shares[0];
  idle->floor = shares[1];
  idle->mariadb_with = shares[2];
  floor->Signal(SIGKILL);
  floor->Wait(5s);
}

}  // namespace config_center::bench
