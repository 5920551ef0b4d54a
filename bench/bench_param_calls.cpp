// bench_param_calls: how fast rclcpp (Humble, rmw_cyclonedds_cpp) serves config_center's
// parameter calls on this machine, beside reference figures measured on the same kind of
// machine with Cyclone's default settings. Runs param_target as the answering process.
//
//   round trip   SetParameters to a service that is already discovered (one client)
//   fresh        a new client, wait_for_service, the request and its answer (as each
//                parameter push of config_center does)
//   idle         CPU of a process whose node spins a 1 ms wall timer and does nothing else
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "tool_args.hpp"

namespace {

namespace tools = config_center::tools;
using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "usage: bench_param_calls [--round-trips N] [--fresh N] [--idle-seconds S]\n"
    "                        [--target PATH]\n"
    "Defaults: 2000 round trips, 200 fresh clients, 10 s idle. PATH is param_target\n"
    "(default: next to this program). Run it inside scripts/isolated.sh (scripts/bench.sh).\n";

struct Options {
  int64_t round_trips = 2000;
  int64_t fresh = 200;
  double idle_seconds = 10.0;
  std::string target;
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * v.size()));
  return v[i];
}

double cpu_seconds(const rusage& r) {
  return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Child: a node with a timer of `period`, spun for `seconds`; reports its CPU share and
// tick count through `fd`.
[[noreturn]] void idle_child(double seconds, std::chrono::milliseconds period, int fd) {
  rclcpp::init(0, nullptr);
  auto node = std::make_shared<rclcpp::Node>("bench_idle");
  int64_t ticks = 0;
  auto timer = node->create_wall_timer(period, [&ticks] { ++ticks; });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  // Let discovery traffic of the new participant settle before measuring.
  const auto warm_until = Clock::now() + std::chrono::milliseconds(500);
  while (Clock::now() < warm_until) executor.spin_once(std::chrono::milliseconds(10));
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const int64_t ticks_before = ticks;
  const auto start = Clock::now();
  auto stop = node->create_wall_timer(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds)),
      [] { rclcpp::shutdown(); });
  executor.spin();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  getrusage(RUSAGE_SELF, &after);
  char line[128];
  const int n = std::snprintf(line, sizeof(line), "%.4f %lld %.3f\n",
                              (cpu_seconds(after) - cpu_seconds(before)) / wall * 100.0,
                              static_cast<long long>(ticks - ticks_before), wall);
  if (write(fd, line, static_cast<size_t>(n)) != n) _exit(1);
  _exit(0);
}

bool idle_cpu(double seconds, std::chrono::milliseconds period, double& percent, long long& ticks,
              double& wall) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    idle_child(seconds, period, fds[1]);
  }
  close(fds[1]);
  char buf[128] = {};
  size_t got = 0;
  ssize_t n;
  while (got < sizeof(buf) - 1 && (n = read(fds[0], buf + got, sizeof(buf) - 1 - got)) > 0) {
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return std::sscanf(buf, "%lf %lld %lf", &percent, &ticks, &wall) == 3;
}

pid_t start_target(const std::string& path, const std::string& name) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    execl(path.c_str(), path.c_str(), "--name", name.c_str(), "--string", "p=x", "--quiet",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char buf[16] = {};
  const ssize_t n = read(fds[0], buf, sizeof(buf) - 1);  // "ready\n"
  close(fds[0]);
  if (n <= 0 || std::string(buf).rfind("ready", 0) != 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

rcl_interfaces::srv::SetParameters::Request::SharedPtr make_request(int64_t i) {
  auto request = std::make_shared<rcl_interfaces::srv::SetParameters::Request>();
  rcl_interfaces::msg::Parameter p;
  p.name = "p";
  p.value.type = rcl_interfaces::msg::ParameterType::PARAMETER_STRING;
  p.value.string_value = "value " + std::to_string(i);
  request->parameters.push_back(p);
  return request;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const auto args = tools::ProgramArguments(argc, argv);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    bool ok = true;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--round-trips" && has_value) {
      ok = tools::ParseInt(args[++i], &o.round_trips) && o.round_trips > 0;
    } else if (a == "--fresh" && has_value) {
      ok = tools::ParseInt(args[++i], &o.fresh) && o.fresh > 0;
    } else if (a == "--idle-seconds" && has_value) {
      ok = tools::ParseSeconds(args[++i], &o.idle_seconds) && o.idle_seconds > 0;
    } else if (a == "--target" && has_value) {
      o.target = args[++i];
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "bench_param_calls: bad argument '%s'\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (o.target.empty()) {
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
    dir = dir.substr(0, dir.rfind('/'));
    o.target = dir + "/param_target";
  }

  // Idle first, in a child of its own, before this process has any DDS threads.
  double idle_percent = 0, idle_wall = 0;
  long long idle_ticks = 0;
  std::fprintf(stderr, "idle node with a 1 ms timer for %.0f s ...\n", o.idle_seconds);
  const bool idle_ok =
      idle_cpu(o.idle_seconds, std::chrono::milliseconds(1), idle_percent, idle_ticks, idle_wall);
  // The same node with a 100 ms timer: what the DDS threads cost without the 1 ms ticks.
  double base_percent = 0, base_wall = 0;
  long long base_ticks = 0;
  const bool base_ok = idle_cpu(std::max(2.0, o.idle_seconds / 2), std::chrono::milliseconds(100),
                                base_percent, base_ticks, base_wall);

  const std::string target_name = "bench_target_" + std::to_string(getpid());
  const pid_t target = start_target(o.target, target_name);
  if (target < 0) {
    std::fprintf(stderr, "bench_param_calls: could not start %s\n", o.target.c_str());
    return 1;
  }

  rclcpp::init(argc, argv);
  auto node = std::make_shared<rclcpp::Node>("bench_client");
  const std::string service = "/" + target_name + "/set_parameters";
  using rcl_interfaces::srv::SetParameters;
  const auto answer_deadline = std::chrono::seconds(1);

  // Round trips over one discovered client.
  std::fprintf(stderr, "%lld round trips ...\n", static_cast<long long>(o.round_trips));
  std::vector<double> rt;
  int64_t rt_lost = 0;
  {
    auto client = node->create_client<SetParameters>(service);
    if (!client->wait_for_service(std::chrono::seconds(10))) {
      std::fprintf(stderr, "bench_param_calls: %s did not appear\n", service.c_str());
      kill(target, SIGTERM);
      waitpid(target, nullptr, 0);
      return 1;
    }
    for (int64_t i = 0; i < 50; ++i) {  // warm-up
      auto f = client->async_send_request(make_request(i));
      rclcpp::spin_until_future_complete(node, f, answer_deadline);
    }
    for (int64_t i = 0; i < o.round_trips; ++i) {
      auto request = make_request(i);
      const auto t0 = Clock::now();
      auto f = client->async_send_request(request);
      const auto rc = rclcpp::spin_until_future_complete(node, f, answer_deadline);
      const auto t1 = Clock::now();
      if (rc == rclcpp::FutureReturnCode::SUCCESS) {
        rt.push_back(ms(t1 - t0));
      } else {
        client->remove_pending_request(f);
        ++rt_lost;
      }
    }
  }

  // Fresh client each time: creation, discovery of the service, request, answer.
  std::fprintf(stderr, "%lld fresh clients ...\n", static_cast<long long>(o.fresh));
  std::vector<double> fresh, discover;
  int64_t fresh_lost = 0;
  for (int64_t i = 0; i < o.fresh; ++i) {
    const auto t0 = Clock::now();
    auto client = node->create_client<SetParameters>(service);
    const bool seen = client->wait_for_service(std::chrono::seconds(1));
    const auto t1 = Clock::now();
    bool answered = false;
    if (seen) {
      auto f = client->async_send_request(make_request(i));
      answered = rclcpp::spin_until_future_complete(node, f, answer_deadline) ==
                 rclcpp::FutureReturnCode::SUCCESS;
      if (!answered) client->remove_pending_request(f);
    }
    const auto t2 = Clock::now();
    client.reset();
    if (answered) {
      fresh.push_back(ms(t2 - t0));
      discover.push_back(ms(t1 - t0));
    } else {
      ++fresh_lost;
    }
  }

  kill(target, SIGTERM);
  waitpid(target, nullptr, 0);
  node.reset();
  rclcpp::shutdown();

  std::printf("\nrclcpp over Cyclone DDS on loopback, this machine (%u cores)\n",
              std::thread::hardware_concurrency());
  std::printf("%-52s %12s %12s %12s\n", "measure", "measured", "target", "reference");
  std::printf("%-52s %12s %12s %12s\n", "-------", "--------", "------", "---------");
  std::printf("%-52s %9.3f ms %9s ms %9s ms\n", "SetParameters round trip, discovered: p50",
              percentile(rt, 50), "<= 0.4", "0.38");
  std::printf("%-52s %9.3f ms %9s ms %9s ms\n", "SetParameters round trip, discovered: p99",
              percentile(rt, 99), "<= 1", "0.85");
  std::printf("%-52s %9.3f ms %9s ms %9s ms\n", "fresh client + wait_for_service + answer: p50",
              percentile(fresh, 50), "<= 3", "2.6");
  std::printf("%-52s %9.3f ms %9s ms %9s ms\n", "fresh client + wait_for_service + answer: p90",
              percentile(fresh, 90), "<= 12", "11.7");
  std::printf("%-52s %9.3f ms %9s ms %9s ms\n", "  of which wait_for_service: p50",
              percentile(discover, 50), "", "0.5");
  std::printf("%-52s %9.3f ms %9s ms %9s ms\n", "  of which wait_for_service: p90",
              percentile(discover, 90), "", "3.2");
  if (idle_ok) {
    std::printf("%-52s %10.2f %% %10s %% %10s %%\n", "idle node, 1 ms wall timer: CPU of one core",
                idle_percent, "<= 2", "6.4");
    std::printf("  idle run: %.1f s, %lld timer callbacks (%.0f per second)\n", idle_wall,
                idle_ticks, idle_ticks / idle_wall);
  } else {
    std::printf("idle node measurement failed\n");
  }
  if (base_ok) {
    std::printf("  same node with a 100 ms timer instead: %.2f %% of one core (%.1f s)\n",
                base_percent, base_wall);
  }
  std::printf("  samples: %zu round trips (%lld unanswered), %zu fresh clients (%lld unanswered)\n",
              rt.size(), static_cast<long long>(rt_lost), fresh.size(),
              static_cast<long long>(fresh_lost));
  if (!rt.empty()) {
    std::printf("  round trip max %.3f ms; fresh client max %.3f ms\n",
                *std::max_element(rt.begin(), rt.end()),
                fresh.empty() ? 0.0 : *std::max_element(fresh.begin(), fresh.end()));
  }
  return 0;
}
