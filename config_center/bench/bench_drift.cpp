// bench_drift: how fast config_center sets back what another party changed, and what watching
// for it costs an idle node, beside baselines measured in the same run.
//
//   parameter  a hand set of a managed parameter (SetParameters to the target, as
//              `ros2 param set` does) -> the target announces the database's value again on
//              /parameter_events. Baseline: that hand set's own round trip.
//   file       a managed file appended to and closed -> the file holds the item's bytes
//              with mode 0600 again (seen through inotify). Baseline: the same content
//              written by this program the way the node writes (temporary file, fsync,
//              rename, fsync of the directory).
//   idle       the node's CPU with drift watching (drift_policy restore) and without
//              (drift_policy ignore), in alternating windows, with the same items.
//
// Rounds are 600 ms apart: a change every 400 ms or faster for 2 s is what a target that
// fights back does, and is held rather than set back each time.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rcl_interfaces/msg/parameter_event.hpp>
#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "disk/atomic_file.hpp"
#include "support/config_files.hpp"
#include "support/cpu_sampling.hpp"
#include "support/log_tail.hpp"
#include "support/node_processes.hpp"
#include "support/percentile.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace {

using namespace std::chrono_literals;
using config_center::test::AdminDb;
using config_center::test::CpuShares;
using config_center::test::LogTail;
using config_center::test::Percentile;
using config_center::test::Process;
using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "usage: bench_drift [--quick] [--rounds N] [--idle-seconds S]\n"
    "Defaults: 50 rounds of each kind, 3 idle windows of 5 s each way; --quick: 10 rounds,\n"
    "windows of 1 s. Run it inside scripts/isolated.sh (scripts/bench.sh).\n";
constexpr char kTarget[] = "bench_drift_target";
constexpr char kFile[] = "bench/drift.yaml";
constexpr int64_t kValue = 5;
constexpr auto kRoundGap = 600ms;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  std::vector<double> values;
  std::string Text() const {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f / %.2f ms", Percentile(values, 50),
                  Percentile(values, 99));
    return text;
  }
};

// Hand sets of the target's parameter, and the events that follow them.
class HandSetter {
public:
  HandSetter() : node_(std::make_shared<rclcpp::Node>("bench_drift_hand")) {
    client_ = node_->create_client<rcl_interfaces::srv::SetParameters>(std::string("/") + kTarget +
                                                                       "/set_parameters");
    events_ = node_->create_subscription<rcl_interfaces::msg::ParameterEvent>(
        "/parameter_events", rclcpp::ParameterEventsQoS(),
        [this](const rcl_interfaces::msg::ParameterEvent& event) {
          if (event.node != std::string("/") + kTarget) return;
          for (const auto& p : event.changed_parameters) {
            if (p.name != "gain") continue;
            std::lock_guard<std::mutex> lock(mutex_);
            last_ = p.value.integer_value;
            last_at_ = Clock::now();
            changed_.notify_all();
          }
        });
    executor_.add_node(node_);
    spinner_ = std::thread([this] { executor_.spin(); });
  }
  ~HandSetter() {
    executor_.cancel();
    spinner_.join();
  }

  // Sets gain to `value`; the round trip of that set, and the time until the event of the
  // database's value followed, both from the send. False when either did not come.
  bool Round(int64_t value, Clock::duration* round_trip, Clock::duration* restored) {
    if (!client_->wait_for_service(5s)) return false;
    auto request = std::make_shared<rcl_interfaces::srv::SetParameters::Request>();
    rcl_interfaces::msg::Parameter parameter;
    parameter.name = "gain";
    parameter.value.type = rcl_interfaces::msg::ParameterType::PARAMETER_INTEGER;
    parameter.value.integer_value = value;
    request->parameters.push_back(parameter);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last_ = value;
    }
    const auto start = Clock::now();
    auto future = client_->async_send_request(request);
    if (future.wait_for(5s) != std::future_status::ready) return false;
    *round_trip = Clock::now() - start;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, 5s, [this] { return last_ == kValue; })) return false;
    *restored = last_at_ - start;
    return true;
  }

private:
  rclcpp::Node::SharedPtr node_;
  rclcpp::Client<rcl_interfaces::srv::SetParameters>::SharedPtr client_;
  rclcpp::Subscription<rcl_interfaces::msg::ParameterEvent>::SharedPtr events_;
  rclcpp::executors::SingleThreadedExecutor executor_;
  std::thread spinner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int64_t last_ = 0;
  Clock::time_point last_at_{};
};

bool Holds(const std::string& path, const std::string& contents) {
  std::string now;
  struct stat info {};
  return config_center::test::ReadFile(path, &now) && now == contents &&
         ::stat(path.c_str(), &info) == 0 && (info.st_mode & 07777) == 0600;
}

// Appends to the managed file; the time from its close until it holds `contents` again.
bool FileRound(const std::string& path, const std::string& contents, Clock::duration* restored) {
  const std::string dir = config_center::DirectoryOf(path);
  const int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotify < 0 || ::inotify_add_watch(inotify, dir.c_str(), IN_MOVED_TO) < 0) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  const bool wrote = fd >= 0 && ::write(fd, "x: 1\n", 5) == 5;
  if (fd >= 0) ::close(fd);
  const auto start = Clock::now();
  bool ok = false;
  while (wrote && Clock::now() - start < 5s) {
    char buffer[4096];
    while (::read(inotify, buffer, sizeof buffer) > 0) {
    }
    if (Holds(path, contents)) {
      *restored = Clock::now() - start;
      ok = true;
      break;
    }
    std::this_thread::sleep_for(50us);
  }
  ::close(inotify);
  return ok;
}

std::unique_ptr<Process> StartNode(LogTail& log, const std::string& policy) {
  const size_t feeds = log.Count("(change feed up)");
  auto node = config_center::test::StartConfigCenter({"-p", "drift_policy:=" + policy});
  if (!config_center::test::WaitUntilReady(log, *node, 15s)) {
    throw std::runtime_error("config_center did not start: " + node->Output());
  }
  // Idle is measured with the change feed up, as a robot runs.
  const auto until = Clock::now() + 5s;
  while (log.Count("(change feed up)") == feeds) {
    if (Clock::now() > until) throw std::runtime_error("the change feed did not come up");
    std::this_thread::sleep_for(10ms);
  }
  return node;
}

// Stopped as systemd stops it, so that it leaves the ROS graph at once: a killed node's
// participant lingers, and the graph changes its leaving makes would wake the next one.
void StopNode(Process& node) {
  node.Signal(SIGTERM);
  if (!node.Wait(10s)) throw std::runtime_error("config_center did not stop");
}

}  // namespace

int main(int argc, char** argv) {
  int64_t rounds = 50;
  double idle_seconds = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      rounds = 10;
      idle_seconds = 1;
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::atoll(argv[++i]);
    } else if (a == "--idle-seconds" && i + 1 < argc) {
      idle_seconds = std::atof(argv[++i]);
    } else {
      std::fputs(kUsage, a == "--help" ? stdout : stderr);
      return a == "--help" ? 0 : 2;
    }
  }
  if (rounds <= 0 || idle_seconds <= 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  rclcpp::init(argc, argv);
  try {
    AdminDb db;
    db.ResetTables();
    config_center::test::RemoveConfigs();
    const std::string contents(4096, 'c');
    db.InsertItem("global_config", "gain", std::to_string(kValue), kTarget, 1);
    db.InsertItem("global_config", kFile, contents, "", 2);
    auto target =
        config_center::test::StartTarget({"--name", kTarget, "--int", "gain=1", "--quiet"});
    LogTail log;
    auto node = StartNode(log, "restore");
    const std::string path = std::string(config_center::test::kConfigs) + kFile;
    if (!config_center::test::WaitForFile(path, &contents, 5s)) {
      throw std::runtime_error("the file item did not arrive");
    }

    Figures param_restored, param_round_trip, file_restored, file_write;
    auto hand = std::make_unique<HandSetter>();
    for (int64_t i = 0; i < rounds; ++i) {
      Clock::duration round_trip{}, restored{};
      if (!hand->Round(100 + i, &round_trip, &restored)) {
        throw std::runtime_error("parameter round " + std::to_string(i) + " was not set back");
      }
      param_round_trip.values.push_back(Ms(round_trip));
      param_restored.values.push_back(Ms(restored));
      std::this_thread::sleep_for(kRoundGap);
    }
    const std::string beside = std::string(config_center::test::kConfigs) + "bench/baseline.yaml";
    for (int64_t i = 0; i < rounds; ++i) {
      Clock::duration restored{};
      if (!FileRound(path, contents, &restored)) {
        throw std::runtime_error("file round " + std::to_string(i) + " was not set back");
      }
      file_restored.values.push_back(Ms(restored));
      std::string error;
      const auto start = Clock::now();
      if (config_center::WriteFileAtomically(beside, contents, &error) !=
          config_center::WriteStep::kNone) {
        throw std::runtime_error("baseline write: " + error);
      }
      file_write.values.push_back(Ms(Clock::now() - start));
      std::this_thread::sleep_for(kRoundGap);
    }
    ::unlink(beside.c_str());

    hand.reset();  // no other participant of this process on the graph while idle

    // Idle, watching and not, in alternating windows.
    std::vector<double> watching, off;
    StopNode(*node);
    for (int w = 0; w < 3; ++w) {
      for (const char* policy : {"restore", "ignore"}) {
        auto idle = StartNode(log, policy);
        std::this_thread::sleep_for(3s);  // discovery and start-up's tail
        const double settled = CpuShares({idle->pid()}, 1)[0];
        const double share = CpuShares({idle->pid()}, idle_seconds)[0];
        (std::string(policy) == "ignore" ? off : watching).push_back(share);
        StopNode(*idle);
        std::fprintf(stderr,
                     "idle window %d, drift_policy %s: %.4f %% of a core (the second before: "
                     "%.4f %%)\n",
                     w, policy, share, settled);
      }
    }
    const double watch_p50 = Percentile(watching, 50);
    const double off_p50 = Percentile(off, 50);

    std::printf("\n| %d rounds each | measured p50 / p99 | baseline, same run | target |\n",
                static_cast<int>(rounds));
    std::printf("|---|---|---|---|\n");
    std::printf(
        "| hand set of a managed parameter -> the database's value announced again | %s "
        "| the hand set's own round trip %s | well under a second |\n",
        param_restored.Text().c_str(), param_round_trip.Text().c_str());
    std::printf(
        "| managed file (4 KiB) appended to -> its bytes and mode 0600 back | %s | the "
        "same content written atomically here %s | well under a second |\n",
        file_restored.Text().c_str(), file_write.Text().c_str());
    std::printf(
        "| idle node, CPU of one core (median of 3 windows of %.0f s) | watching %.4f %% "
        "| drift_policy ignore %.4f %% (%.2fx) | 1.2x or < 0.3 %% |\n",
        idle_seconds, watch_p50, off_p50, off_p50 > 0 ? watch_p50 / off_p50 : 0.0);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_drift: %s\n", error.what());
    rclcpp::shutdown();
    return 1;
  }
  rclcpp::shutdown();
  return 0;
}
