// bench_change_feed: the floor that learning of changes from the binary log can reach, in one
// run, beside what following the change log every millisecond costs. Run inside
// scripts/isolated.sh (scripts/bench.sh does), where the server writes a binary log.
//
// Idle cost (CPU share of one core over a window, each in a process of its own, measured
// from outside with the server over the same window): a bare rclcpp node without a timer
// (the reference process bench_node weighs the node against); the same node with a
// ChangeFeed whose wake-up triggers a guard condition that the executor waits on (the wiring
// config_center uses); the node with a 1 ms wall timer that reads MAX(id) on a kept
// statement (config_center's poll). During the bare node no client is connected to the
// server at all.
//
// Latency: commits of one change-log row each, spaced a few milliseconds apart, timed from
// the moment the commit is sent to the feed's wake-up, to the executor callback behind the
// guard condition, and to a 1 ms poll seeing the row (the baseline). After each wake-up the
// row is looked for at once on another connection (the node's account), to find how often,
// and for how long, the commit's event comes before its row is visible.
#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <mysql.h>

#include <rclcpp/version.h>
#include <rclcpp/rclcpp.hpp>

#include "bench_node/bench_clock.hpp"
#include "bench_node/reference_processes.hpp"
#include "store/db_connection.hpp"
#include "support/cpu_sampling.hpp"
#include "support/node_account.hpp"
#include "support/percentile.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"
#include "tracking/change_feed.hpp"

namespace {

using config_center::ChangeFeed;
using config_center::DbAccount;
using config_center::DbConnection;
using config_center::DescribeFeedStatus;
using config_center::IncrementId;
using config_center::bench::Clock;
using config_center::bench::Ms;
using config_center::test::AdminDb;
using config_center::test::InstalledNodeAccount;
using config_center::test::Percentile;
using config_center::test::Process;
using namespace std::chrono_literals;

constexpr char kUsage[] =
    "usage: bench_change_feed [--quick] [--idle-seconds S] [--commits N] [--heartbeat S]\n"
    "Idle CPU of a bare rclcpp node, of one with the change feed, of one polling every 1 ms,\n"
    "and of the MariaDB server beside each; commit-to-wake latency and row visibility.\n"
    "Full: 10 s windows, 300 commits per latency series. --quick: 2 s, 50. --heartbeat: the\n"
    "idle feed's heartbeat period (default the feed's own). Run inside scripts/isolated.sh.\n";

constexpr char kMaxIdSql[] = "SELECT MAX(id) FROM config_table_changes";

// ---------------------------------------------------------------------------------------------
// The wake-up as the node would take it: a guard condition in a Waitable, so the executor
// wakes for it and runs the callback on its own thread. Trigger() is cheap and thread-safe.
class WakeWaitable : public rclcpp::Waitable {
public:
  explicit WakeWaitable(std::function<void()> on_wake) : on_wake_(std::move(on_wake)) {}

  void Trigger() { guard_.trigger(); }

  size_t get_number_of_ready_guard_conditions() override { return 1; }
  std::shared_ptr<void> take_data() override { return nullptr; }
#if RCLCPP_VERSION_MAJOR >= 28
  // rclcpp 28 (Jazzy): by reference, as config_center's WakeSignal.
  void add_to_wait_set(rcl_wait_set_t& wait_set) override { guard_.add_to_wait_set(wait_set); }
  bool is_ready(const rcl_wait_set_t& wait_set) override { return Ready(wait_set); }
  void execute(const std::shared_ptr<void>& /*data*/) override { on_wake_(); }
#else
  void add_to_wait_set(rcl_wait_set_t* wait_set) override { guard_.add_to_wait_set(wait_set); }
  bool is_ready(rcl_wait_set_t* wait_set) override { return Ready(*wait_set); }
  void execute(std::shared_ptr<void>& /*data*/) override { on_wake_(); }
#endif

private:
  bool Ready(const rcl_wait_set_t& wait_set) const {
    for (size_t i = 0; i < wait_set.size_of_guard_conditions; ++i) {
      if (wait_set.guard_conditions[i] == &guard_.get_rcl_guard_condition()) return true;
    }
    return false;
  }

  rclcpp::GuardCondition guard_;
  std::function<void()> on_wake_;
};

// ---------------------------------------------------------------------------------------------
// A child: one idle node wired as config_center is, "feed" or "poll". Prints "ready" once it
// runs (with its feed up), and on SIGINT a line "feed=<status> passes=<n>" before it ends.

int IdleNode(const std::string& mode, int heartbeat_s) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  rclcpp::init(0, nullptr);
  auto node = std::make_shared<rclcpp::Node>("bench_idle_" + mode);
  std::unique_ptr<ChangeFeed> feed;
  std::shared_ptr<WakeWaitable> wake;  // the callback group holds it weakly
  rclcpp::TimerBase::SharedPtr timer;
  std::atomic<int> passes{0};
  DbConnection db;
  if (mode == "feed") {
    wake = std::make_shared<WakeWaitable>([&passes] { ++passes; });
    node->get_node_waitables_interface()->add_waitable(wake, nullptr);
    ChangeFeed::Options options;
    options.account = InstalledNodeAccount();
    options.heartbeat = std::chrono::seconds(heartbeat_s);
    options.read_timeout = std::max(options.read_timeout, 4 * options.heartbeat);
    feed = std::make_unique<ChangeFeed>([raw = wake.get()] { raw->Trigger(); }, options);
    feed->Start();
  } else if (mode == "poll") {
    if (!db.Connect()) return 1;
    timer = node->create_wall_timer(
        1ms, [&db] { db.Query<IncrementId>(kMaxIdSql, DbConnection::Statement::kKept); });
  } else {
    return 2;
  }
  const auto deadline = Clock::now() + 5s;
  while (feed && !feed->Status().up && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  std::printf("ready\n");
  std::fflush(stdout);
  executor.spin();  // until SIGINT
  std::printf("feed=%s passes=%d\n", feed ? DescribeFeedStatus(feed->Status()).c_str() : "none",
              passes.load());
  std::fflush(stdout);
  if (feed) feed->Stop();
  rclcpp::shutdown();
  return 0;
}

struct IdleResult {
  double node = 0;    // percent of one core
  double server = 0;  // percent of one core, same window
  std::string note;
};

// "bare" is bench_node's reference node; "feed" and "poll" are IdleNode children.
IdleResult MeasureIdle(const std::string& self, const std::string& mode, double seconds,
                       int heartbeat_s) {
  std::unique_ptr<Process> child;
  if (mode == "bare") {
    child = config_center::bench::StartReference(config_center::bench::Reference::kBareNode);
  } else {
    child = std::make_unique<Process>(std::vector<std::string>{
        self, "--idle-node", mode, "--heartbeat", std::to_string(heartbeat_s)});
    if (!child->WaitFor("ready\n", 20s)) {
      throw std::runtime_error(mode + " node did not start: " + child->Output());
    }
  }
  std::this_thread::sleep_for(1s);  // discovery and start-up settle
  const auto shares =
      config_center::test::CpuShares({child->pid(), config_center::test::ServerPid()}, seconds);
  IdleResult result;
  result.node = shares[0];
  result.server = shares[1];
  if (mode == "bare") {
    config_center::bench::StopReference(child);
    return result;
  }
  child->Signal(SIGINT);
  if (!child->WaitFor("passes=", 10s)) {
    throw std::runtime_error(mode + " node did not end: " + child->Output());
  }
  child->Wait(10s);
  const std::string out = child->Output();
  const size_t at = out.find("feed=");
  result.note = out.substr(at, out.find('\n', at) - at);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Latency. The writer commits one change-log row at a time (an item insert, whose trigger
// writes it) over the administrator's socket; change-log ids grow by one per commit.

// The node's account over TCP, as the node connects.
class Reader {
public:
  Reader() {
    mysql_ = mysql_init(nullptr);
    const DbAccount a = InstalledNodeAccount();
    if (mysql_real_connect(mysql_, a.host.c_str(), a.user.c_str(), a.password.c_str(),
                           a.database.c_str(), a.port, nullptr, 0) == nullptr) {
      throw std::runtime_error(std::string("reader: ") + mysql_error(mysql_));
    }
  }
  ~Reader() { mysql_close(mysql_); }
  long long MaxId() {
    if (mysql_query(mysql_, kMaxIdSql) != 0) throw std::runtime_error(mysql_error(mysql_));
    MYSQL_RES* result = mysql_store_result(mysql_);
    MYSQL_ROW row = mysql_fetch_row(result);
    const long long id = row != nullptr && row[0] != nullptr ? std::atoll(row[0]) : 0;
    mysql_free_result(result);
    return id;
  }

private:
  MYSQL* mysql_ = nullptr;
};

struct Sample {
  double commit_ms = 0;    // the commit statement's round trip
  double reached_ms = 0;   // from sending the commit to the wake-up (or the poll seeing it)
  double callback_ms = 0;  // to the executor callback behind the guard condition
  bool visible_first = true;
  double visible_after_ms = 0;  // from the wake-up until a SELECT saw the row
};

// Where a sample is noticed: "feed" checks visibility on the feed's thread at once; "executor"
// on the executor thread after the guard condition; "poll" is a 1 ms MAX(id) loop.
std::vector<Sample> MeasureLatency(const std::string& where, int commits) {
  AdminDb writer;
  long long next_id = std::atoll(writer.Scalar(kMaxIdSql).value_or("0").c_str()) + 1;
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Clock::time_point> sent;
  std::vector<Sample> samples;
  Sample current;
  bool done = false;
  Reader reader;

  // Looks for the row with the id expected now; records when it shows.
  const auto check_visible = [&](Clock::time_point woke) {
    long long expected;
    {
      std::lock_guard<std::mutex> lock(mutex);
      expected = next_id;
    }
    bool first = true;
    while (reader.MaxId() < expected) {
      first = false;
      if (Clock::now() - woke > 1s) break;
    }
    std::lock_guard<std::mutex> lock(mutex);
    current.visible_first = first;
    current.visible_after_ms = Ms(Clock::now() - woke);
  };
  const auto finish = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    changed.notify_all();
  };

  std::shared_ptr<WakeWaitable> wake;
  std::unique_ptr<ChangeFeed> feed;
  rclcpp::Node::SharedPtr node;
  std::unique_ptr<rclcpp::executors::SingleThreadedExecutor> executor;
  std::thread worker;
  std::atomic<bool> polling{true};
  std::atomic<bool> armed{false};  // a commit is under way: wake-ups before it are not samples

  if (where == "poll") {
    worker = std::thread([&] {
      Reader poller;
      config_center::bench::MillisecondTicks ticks;
      while (polling) {
        ticks.Next();
        const long long seen = poller.MaxId();
        long long expected;
        {
          std::lock_guard<std::mutex> lock(mutex);
          expected = next_id;
        }
        if (!armed || seen < expected) continue;
        armed = false;
        {
          std::lock_guard<std::mutex> lock(mutex);
          current.reached_ms = Ms(Clock::now() - *sent);
        }
        finish();
      }
    });
  } else {
    node = std::make_shared<rclcpp::Node>("bench_change_feed");
    wake = std::make_shared<WakeWaitable>([&] {
      if (!armed) return;
      const auto now = Clock::now();
      if (where == "executor") {
        armed = false;
        {
          std::lock_guard<std::mutex> lock(mutex);
          current.callback_ms = Ms(now - *sent);
        }
        check_visible(now);
        finish();
      }
    });
    node->get_node_waitables_interface()->add_waitable(wake, nullptr);
    executor = std::make_unique<rclcpp::executors::SingleThreadedExecutor>();
    executor->add_node(node);
    worker = std::thread([&] { executor->spin(); });
    ChangeFeed::Options feed_options;
    feed_options.account = InstalledNodeAccount();
    feed = std::make_unique<ChangeFeed>(
        [&] {
          const auto now = Clock::now();
          if (armed) {
            std::lock_guard<std::mutex> lock(mutex);
            if (current.reached_ms == 0) current.reached_ms = Ms(now - *sent);
          }
          if (where == "feed" && armed) {
            armed = false;
            check_visible(now);
            finish();
            return;
          }
          wake->Trigger();
        },
        feed_options);
    feed->Start();
    const auto deadline = Clock::now() + 5s;
    while (!feed->Status().up && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    if (!feed->Status().up) {
      throw std::runtime_error("feed not up: " + DescribeFeedStatus(feed->Status()));
    }
    std::this_thread::sleep_for(100ms);  // the wake-up for coming up has been served
  }

  std::srand(7);
  for (int i = 0; i < commits; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(3000 + std::rand() % 7000));
    {
      std::lock_guard<std::mutex> lock(mutex);
      current = Sample{};
      done = false;
      sent = Clock::now();
    }
    armed = true;
    const auto start = Clock::now();
    writer.InsertItem("global_config", where + "_" + std::to_string(i), "1", "bench", 1);
    const double commit_ms = Ms(Clock::now() - start);
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, 3s, [&] { return done; })) {
      throw std::runtime_error(where + ": commit " + std::to_string(i) + " not noticed");
    }
    current.commit_ms = commit_ms;
    samples.push_back(current);
    ++next_id;
  }

  polling = false;
  if (feed) feed->Stop();
  if (executor) executor->cancel();
  worker.join();
  return samples;
}

// Commit round trips with the binary log written to disk at each commit (sync_binlog = 1, as
// db/robot-binlog.cnf sets it) and without.
std::pair<double, double> MeasureSyncBinlog(int commits) {
  AdminDb admin;
  const std::string saved = admin.Scalar("SELECT @@global.sync_binlog").value_or("0");
  std::vector<double> synced;
  std::vector<double> unsynced;
  for (const char* setting : {"1", "0"}) {
    admin.Exec(std::string("SET GLOBAL sync_binlog = ") + setting);
    auto& out = setting[0] == '1' ? synced : unsynced;
    for (int i = 0; i < commits; ++i) {
      const auto start = Clock::now();
      admin.InsertItem("global_config", std::string("sync_") + setting + std::to_string(i), "1",
                       "bench", 1);
      out.push_back(Ms(Clock::now() - start));
    }
  }
  admin.Exec("SET GLOBAL sync_binlog = " + saved);
  return {Percentile(synced, 50), Percentile(unsynced, 50)};
}

// ---------------------------------------------------------------------------------------------

void Row(const std::string& what, const std::string& measured, const std::string& target = "") {
  std::printf("| %-62s | %-40s | %-28s |\n", what.c_str(), measured.c_str(), target.c_str());
}

std::string Fmt(const char* format, double a, double b = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

std::vector<double> Pick(const std::vector<Sample>& samples, double Sample::*member) {
  std::vector<double> values;
  values.reserve(samples.size());
  for (const auto& s : samples) values.push_back(s.*member);
  return values;
}

// From the writer's commit returning; negative when it came first.
std::vector<double> SinceReturn(const std::vector<Sample>& samples, double Sample::*member) {
  std::vector<double> values;
  values.reserve(samples.size());
  for (const auto& s : samples) values.push_back(s.*member - s.commit_ms);
  return values;
}

std::string P50P99(const std::vector<double>& values) {
  return Fmt("%.3f / %.3f ms", Percentile(values, 50), Percentile(values, 99));
}

// How many rows were not visible to the first SELECT after the wake-up, and how long after
// the wake-up a SELECT first saw those (each SELECT is a round trip of its own).
std::string Visibility(const std::vector<Sample>& samples) {
  std::vector<double> late;
  for (const auto& s : samples) {
    if (!s.visible_first) late.push_back(s.visible_after_ms);
  }
  char text[96];
  if (late.empty()) {
    std::snprintf(text, sizeof text, "0 of %zu", samples.size());
  } else {
    std::snprintf(text, sizeof text, "%zu of %zu; seen after p50 %.3f, max %.3f ms", late.size(),
                  samples.size(), Percentile(late, 50), Percentile(late, 100));
  }
  return text;
}

// How often the wake-up came before the writer's commit statement had returned.
std::string BeforeReturn(const std::vector<Sample>& samples) {
  int before = 0;
  for (const auto& s : samples) before += s.reached_ms < s.commit_ms ? 1 : 0;
  char text[64];
  std::snprintf(text, sizeof text, "%d of %zu", before, samples.size());
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  config_center::bench::RunReferenceIfAsked(argc, argv);
  double seconds = 10;
  int commits = 300;
  int heartbeat_s = ChangeFeed::Options().heartbeat.count();
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--idle-node" && i + 3 < argc) return IdleNode(argv[i + 1], std::atoi(argv[i + 3]));
    if (a == "--quick") {
      quick = true;
      seconds = 2;
      commits = 50;
    } else if (a == "--idle-seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (a == "--heartbeat" && i + 1 < argc) {
      heartbeat_s = std::atoi(argv[++i]);
    } else if (a == "--commits" && i + 1 < argc) {
      commits = std::atoi(argv[++i]);
    } else {
      std::fputs(kUsage, a == "--help" || a == "-h" ? stdout : stderr);
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  const char* isolated = std::getenv("CONFIG_CENTER_ISOLATED");
  if (isolated == nullptr || std::string(isolated) != "inside" || seconds <= 0 || commits <= 0 ||
      heartbeat_s <= 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);

  try {
    {
      AdminDb admin;
      if (admin.Scalar("SELECT @@global.log_bin") != "1") {
        std::fprintf(stderr, "bench_change_feed: the server writes no binary log\n");
        return 2;
      }
      admin.ResetTables();
    }
    const std::string self = config_center::bench::SelfPath();
    std::fprintf(stderr, "idle windows of %.0f s ...\n", seconds);
    const IdleResult bare = MeasureIdle(self, "bare", seconds, heartbeat_s);
    const IdleResult feed = MeasureIdle(self, "feed", seconds, heartbeat_s);
    const IdleResult poll = MeasureIdle(self, "poll", seconds, heartbeat_s);

    rclcpp::init(0, nullptr);
    std::fprintf(stderr, "latency, %d commits per series ...\n", commits);
    const auto on_feed = MeasureLatency("feed", commits);
    const auto on_executor = MeasureLatency("executor", commits);
    const auto polled = MeasureLatency("poll", commits);
    const auto [synced_ms, unsynced_ms] = MeasureSyncBinlog(std::min(commits, 100));
    rclcpp::shutdown();

    std::printf(
        "change feed floor (%s: %.0f s idle windows, %d commits per series, heartbeat %d s)\n\n",
        quick ? "quick" : "full", seconds, commits, heartbeat_s);
    Row("what", "measured", "target");
    std::printf("|%s|%s|%s|\n", std::string(64, '-').c_str(), std::string(42, '-').c_str(),
                std::string(30, '-').c_str());
    Row("bare rclcpp node, no timer: CPU of one core", Fmt("%.3f %%", bare.node));
    Row("node + change feed + guard condition, idle", Fmt("%.3f %%", feed.node),
        Fmt("<= %.3f %% (2x) or < 0.3 %%", 2 * bare.node));
    Row("node + 1 ms timer reading MAX(id) (the poll)", Fmt("%.3f %%", poll.node));
    Row("MariaDB server, no client at all", Fmt("%.3f %%", bare.server));
    Row("MariaDB server, feed connected and idle", Fmt("%.3f %%", feed.server),
        Fmt("<= %.3f %% (1.2x) or < 0.3 %%", 1.2 * bare.server));
    Row("MariaDB server, 1 ms MAX(id) poll", Fmt("%.3f %%", poll.server));
    Row("commit round trip (writer, sync_binlog 1), p50 / p99",
        P50P99(Pick(on_executor, &Sample::commit_ms)));
    Row("commit sent -> feed wake-up, p50 / p99", P50P99(Pick(on_executor, &Sample::reached_ms)));
    Row("commit sent -> executor callback (guard condition), p50 / p99",
        P50P99(Pick(on_executor, &Sample::callback_ms)));
    Row("commit sent -> 1 ms poll sees the row, p50 / p99",
        P50P99(Pick(polled, &Sample::reached_ms)));
    Row("commit returned -> feed wake-up, p50 / p99",
        P50P99(SinceReturn(on_executor, &Sample::reached_ms)));
    Row("commit returned -> executor callback, p50 / p99",
        P50P99(SinceReturn(on_executor, &Sample::callback_ms)));
    Row("commit returned -> 1 ms poll sees the row, p50 / p99",
        P50P99(SinceReturn(polled, &Sample::reached_ms)));
    Row("wake-up before the writer's commit returned", BeforeReturn(on_executor));
    Row("row not visible to a SELECT at once on the feed thread", Visibility(on_feed));
    Row("row not visible to a SELECT in the executor callback", Visibility(on_executor));
    Row("commit round trip, sync_binlog 1 / 0, p50", Fmt("%.3f / %.3f ms", synced_ms, unsynced_ms));
    std::printf(
        "\nCPU shares: time on CPU of every thread (/proc/<pid>/task/*/schedstat, ns) over wall\n"
        "time, each node and the server over the same window. At the end of its window the feed\n"
        "node said %s; the poll node %s.\n",
        feed.note.c_str(), poll.note.c_str());
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "bench_change_feed: measurement failed: %s\n", error.what());
    return 1;
  }
  return 0;
}
