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
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "support/percentile.hpp"
#include "support/process.hpp"

namespace {

using config_center::test::Percentile;
using config_center::test::Process;
using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "usage: bench_param_calls [--round-trips N] [--fresh N] [--idle-seconds S]\n"
    "                        [--target PATH]\n"
    "Defaults: 2000 round trips, 200 fresh clients, 10 s idle. PATH is param_target\n"
    "(default: param_target from PATH). Run it inside scripts/isolated.sh (scripts/bench.sh).\n";

struct Options {
  int64_t round_trips = 2000;
  int64_t fresh = 200;
  double idle_seconds = 10.0;
  std::string target = "param_target";
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A positive decimal count; false if malformed.
bool ParseCount(const std::string& text, int64_t* value) {
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || errno != 0 || *end != '\0' || parsed <= 0) return false;
  *value = parsed;
  return true;
}

double CpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Child: a node with a timer of `period`, spun for `seconds`; reports its CPU share and
// tick count through `fd`.
[[noreturn]] void IdleChild(double seconds, std::chrono::milliseconds period, int fd) {
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
                              (CpuSeconds(after) - CpuSeconds(before)) / wall * 100.0,
                              static_cast<long long>(ticks - ticks_before), wall);
  if (write(fd, line, static_cast<size_t>(n)) != n) _exit(1);
  _exit(0);
}

bool IdleCpu(double seconds, std::chrono::milliseconds period, double* percent, long long* ticks,
             double* wall) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    IdleChild(seconds, period, fds[1]);
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
  return std::sscanf(buf, "%lf %lld %lf", percent, ticks, wall) == 3;
}

rcl_interfaces::srv::SetParameters::Request::SharedPtr MakeRequest(int64_t i) {
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
  std::vector<std::string> args = rclcpp::remove_ros_arguments(argc, argv);
  args.erase(args.begin());
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    bool ok = true;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--round-trips" && has_value) {
      ok = ParseCount(args[++i], &o.round_trips);
    } else if (a == "--fresh" && has_value) {
      ok = ParseCount(args[++i], &o.fresh);
    } else if (a == "--idle-seconds" && has_value) {
      char* end = nullptr;
      o.idle_seconds = std::strtod(args[++i].c_str(), &end);
      ok = *end == '\0' && std::isfinite(o.idle_seconds) && o.idle_seconds > 0;
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
  // Idle first, in a child of its own, before this process has any DDS threads.
  double idle_percent = 0, idle_wall = 0;
  long long idle_ticks = 0;
  std::fprintf(stderr, "idle node with a 1 ms timer for %.0f s ...\n", o.idle_seconds);
  const bool idle_ok =
      IdleCpu(o.idle_seconds, std::chrono::milliseconds(1), &idle_percent, &idle_ticks, &idle_wall);
  // The same node with a 100 ms timer: what the DDS threads cost without the 1 ms ticks.
  double base_percent = 0, base_wall = 0;
  long long base_ticks = 0;
  const bool base_ok = IdleCpu(std::max(2.0, o.idle_seconds / 2), std::chrono::milliseconds(100),
                               &base_percent, &base_ticks, &base_wall);

  const std::string target_name = "bench_target_" + std::to_string(getpid());
  std::unique_ptr<Process> target;
  try {
    target = std::make_unique<Process>(
        std::vector<std::string>{o.target, "--name", target_name, "--string", "p=x", "--quiet"});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_param_calls: %s\n", e.what());
    return 1;
  }
  if (!target->WaitFor("ready", std::chrono::seconds(10))) {
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
      return 1;
    }
    for (int64_t i = 0; i < 50; ++i) {  // warm-up
      auto f = client->async_send_request(MakeRequest(i));
      rclcpp::spin_until_future_complete(node, f, answer_deadline);
    }
    for (int64_t i = 0; i < o.round_trips; ++i) {
      auto request = MakeRequest(i);
      const auto t0 = Clock::now();
      auto f = client->async_send_request(request);
      const auto rc = rclcpp::spin_until_future_complete(node, f, answer_deadline);
      const auto t1 = Clock::now();
      if (rc == rclcpp::FutureReturnCode::SUCCESS) {
        rt.push_back(Ms(t1 - t0));
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
      auto f = client->async_send_request(MakeRequest(i));
      answered = rclcpp::spin_until_future_complete(node, f, answer_deadline) ==
                 rclcpp::FutureReturnCode::SUCCESS;
      if (!answered) client->remove_pending_request(f);
    }
    const auto t2 = Clock::now();
    client.reset();
    if (answered) {
      fresh.push_back(Ms(t2 - t0));
      discover.push_back(Ms(t1 - t0));
    } else {
      ++fresh_lost;
    }
  }

  target->Signal(SIGTERM);
  target->Wait(std::chrono::seconds(5));
  node.reset();
  rclcpp::shutdown();

  std::printf("\nrclcpp over Cyclone DDS on loopback, this machine (%u cores)\n",
              std::thread::hardware_concurrency());
  std::printf("%-52s %12s %12s %12s\n", "measure", "measured", "target", "reference");
  std::printf("%-52s %12s %12s %12s\n", "-------", "--------", "------", "---------");
  auto row_ms = [](const char* measure, double ms, const char* target, const char* reference) {
    std::printf("%-52s %9.3f ms %9s ms %9s ms\n", measure, ms, target, reference);
  };
  row_ms("SetParameters round trip, discovered: p50", Percentile(rt, 50), "<= 0.4", "0.38");
  row_ms("SetParameters round trip, discovered: p99", Percentile(rt, 99), "<= 1", "0.85");
  row_ms("fresh client + wait_for_service + answer: p50", Percentile(fresh, 50), "<= 3", "2.6");
  row_ms("fresh client + wait_for_service + answer: p90", Percentile(fresh, 90), "<= 12", "11.7");
  row_ms("  of which wait_for_service: p50", Percentile(discover, 50), "", "0.5");
  row_ms("  of which wait_for_service: p90", Percentile(discover, 90), "", "3.2");
  if (idle_ok) {
    std::printf("%-52s %10.2f %% %10s %% %10s %%\n", "idle node, 1 ms wall timer: CPU of one core",
                idle_percent, "<= 2", "6.4");
    std::printf("  idle run: %.1f s, %lld timer callbacks (%.0f per second)\n", idle_wall,
                idle_ticks, static_cast<double>(idle_ticks) / idle_wall);
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
