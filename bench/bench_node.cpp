// bench_node: config_center as a user runs it, measured from outside. The installed node and
// param_target processes (from PATH) talk over DDS; the tables are in the isolated MariaDB;
// files land in /opt/velgar/configs. Run inside scripts/isolated.sh (scripts/bench.sh does).
//
// Prints one table: what was measured here, beside its target. Reference figures the targets
// depend on (a bare 1 kHz sleep loop, an fsync of a file and its directory) are measured in
// the same run. Exits non-zero only when a measurement could not be taken.
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config_center/db_connection.hpp"
#include "support/node_harness.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace {

using config_center::test::AdminDb;
using config_center::test::kConfigs;
using config_center::test::LogTail;
using config_center::test::Process;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kUsage[] =
    "usage: bench_node [--quick] [--rounds N] [--idle-seconds S]\n"
    "Measures the installed config_center with param_target nodes, the isolated MariaDB and\n"
    "real files. Full: 200 change rounds, 2000 file + 500 parameter items at start-up, 5 s\n"
    "idle. --quick: 20 rounds, 200 + 50 items, 1 s idle. Run inside scripts/isolated.sh.\n";

constexpr char kReady[] = "Config center ready";
constexpr int kDirectories = 20;
constexpr int kTargetNodes = 5;
constexpr size_t kFileSize = 1024;
constexpr char kLatencyFile[] = "bench_latency.yaml";
constexpr char kLatencyNode[] = "bench_latency";
constexpr char kLatencyParam[] = "value";

struct Options {
  bool quick = false;
  int rounds = 200;
  int files = 2000;
  int params = 500;
  double idle_seconds = 5.0;
  int fsync_samples = 100;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Nearest rank.
double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// ---------------------------------------------------------------------------------------------
// CPU and memory of other processes, from /proc.

// utime + stime of the whole process, in clock ticks.
long long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) throw std::runtime_error("cannot read /proc/<pid>/stat");
  std::istringstream fields(stat.substr(paren + 2));
  std::string field;
  long long utime = -1;
  long long stime = -1;
  // Fields 14 and 15 of proc(5); the stream starts at field 3.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  if (utime < 0 || stime < 0) throw std::runtime_error("short /proc/<pid>/stat");
  return utime + stime;
}

double VmRssMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  throw std::runtime_error("no VmRSS for pid " + std::to_string(pid));
}

pid_t MariadbPid() {
  std::ifstream in("/run/mysqld/mariadbd.pid");
  long pid = 0;
  if (!(in >> pid) || pid <= 0) throw std::runtime_error("cannot read /run/mysqld/mariadbd.pid");
  return static_cast<pid_t>(pid);
}

// CPU shares (percent of one core) of several processes over one window.
std::vector<double> CpuShares(const std::vector<pid_t>& pids, double seconds) {
  std::vector<long long> before;
  for (pid_t pid : pids) before.push_back(CpuTicks(pid));
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  std::vector<long long> after;
  for (pid_t pid : pids) after.push_back(CpuTicks(pid));
  const double wall = Seconds(Clock::now() - start);
  const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::vector<double> shares;
  for (size_t i = 0; i < pids.size(); ++i) {
    shares.push_back(100.0 * static_cast<double>(after[i] - before[i]) / hz / wall);
  }
  return shares;
}

// Sleeps until one millisecond after `next`, which then holds that time.
void SleepUntilNextMillisecond(timespec* next) {
  next->tv_nsec += 1000000;
  if (next->tv_nsec >= 1000000000) {
    next->tv_nsec -= 1000000000;
    ++next->tv_sec;
  }
  ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, next, nullptr);
}

// The reference for idle cost: a process that only wakes every millisecond.
[[noreturn]] void FloorLoop() {
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
[[noreturn]] void PollLoop() {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  auto& db = config_center::DbConnection::GetInstance();
  if (!db.Connect()) ::_exit(1);
  timespec next{};
  ::clock_gettime(CLOCK_MONOTONIC, &next);
  for (;;) {
    SleepUntilNextMillisecond(&next);
    db.Query<config_center::IncrementId>("SELECT MAX(id) FROM config_table_changes",
                                         config_center::DbConnection::Statement::kKept);
  }
}

// ---------------------------------------------------------------------------------------------
// Watching files without sleep-polling.

// Renames into and writes closed in one directory, each stamped when this side read it.
class DirWatch {
public:
  explicit DirWatch(const std::string& dir) {
    fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ < 0 || ::inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
      throw std::runtime_error("inotify on " + dir + ": " + std::strerror(errno));
    }
    reader_ = std::thread([this] { Run(); });
  }
  ~DirWatch() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    reader_.join();
    ::close(fd_);
  }
  DirWatch(const DirWatch&) = delete;
  DirWatch& operator=(const DirWatch&) = delete;

  // Waits for an event on `name` from `since` on after which `path` holds `contents`;
  // `seen` gets the time that event was read.
  bool WaitFor(const std::string& name, const std::string& path, const std::string& contents,
               Clock::time_point since, Clock::time_point deadline, Clock::time_point* seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (!events_.empty()) {
        const auto [event_name, when] = events_.front();
        events_.pop_front();
        if (event_name != name || when < since) continue;
        lock.unlock();
        std::string now;
        const bool holds = config_center::test::ReadFile(path, &now) && now == contents;
        lock.lock();
        if (holds) {
          *seen = when;
          return true;
        }
      }
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && events_.empty()) {
        return false;
      }
    }
  }

private:
  void Run() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
      }
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      const auto when = Clock::now();
      if (n <= 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0) events_.emplace_back(std::string(event->name), when);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      changed_.notify_all();
    }
  }

  int fd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<std::string, Clock::time_point>> events_;
  bool stop_ = false;
};

// The node's log from where this watch was made, read as it grows.
class LogWatch {
public:
  LogWatch() : path_(LogTail::Path()) {
    const std::string dir = path_.substr(0, path_.rfind('/'));
    std::filesystem::create_directories(dir);
    struct stat info {};
    start_ = ::stat(path_.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0 || ::inotify_add_watch(inotify_, dir.c_str(), IN_MODIFY | IN_CREATE) < 0) {
      throw std::runtime_error("inotify on " + dir + ": " + std::strerror(errno));
    }
  }
  ~LogWatch() {
    if (file_ >= 0) ::close(file_);
    ::close(inotify_);
  }
  LogWatch(const LogWatch&) = delete;
  LogWatch& operator=(const LogWatch&) = delete;

  // Waits until the log holds `text` while `process` runs; `seen` gets when it was read.
  bool WaitFor(const std::string& text, Process& process, Clock::time_point deadline,
               Clock::time_point* seen) {
    for (;;) {
      const size_t searched = text_.size() >= text.size() ? text_.size() - text.size() + 1 : 0;
      ReadNew();
      const auto when = Clock::now();
      const size_t found = text_.find(text, std::max(cursor_, searched));
      if (found != std::string::npos) {
        cursor_ = found + text.size();
        *seen = when;
        return true;
      }
      if (!process.Running() || Clock::now() >= deadline) return false;
      pollfd pfd{inotify_, POLLIN, 0};
      if (::poll(&pfd, 1, 5) > 0) {
        char drain[4096];
        while (::read(inotify_, drain, sizeof drain) > 0) {
        }
      }
    }
  }

private:
  void ReadNew() {
    if (file_ < 0) file_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (file_ < 0) return;
    char buffer[64 * 1024];
    for (;;) {
      const ssize_t n =
          ::pread(file_, buffer, sizeof buffer, static_cast<off_t>(start_ + text_.size()));
      if (n <= 0) return;
      text_.append(buffer, static_cast<size_t>(n));
    }
  }

  std::string path_;
  size_t start_ = 0;
  int inotify_ = -1;
  int file_ = -1;
  std::string text_;
  size_t cursor_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The table of results.

struct Row {
  std::string figure;
  std::string measured;
  std::string target;
  std::string within;  // "yes", "no", or "" for a reference figure
};

std::vector<Row> rows;

void Reference(const std::string& figure, const std::string& measured) {
  rows.push_back({figure, measured, "(reference)", ""});
}

void Target(const std::string& figure, const std::string& measured, const std::string& target,
            bool within) {
  rows.push_back({figure, measured, target, within ? "yes" : "no"});
}

void PrintTable() {
  size_t widths[4] = {6, 13, 6, 6};
  for (const Row& row : rows) {
    widths[0] = std::max(widths[0], row.figure.size());
    widths[1] = std::max(widths[1], row.measured.size());
    widths[2] = std::max(widths[2], row.target.size());
  }
  auto line = [&](const std::string& a, const std::string& b, const std::string& c,
                  const std::string& d) {
    std::printf("| %-*s | %-*s | %-*s | %-*s |\n", static_cast<int>(widths[0]), a.c_str(),
                static_cast<int>(widths[1]), b.c_str(), static_cast<int>(widths[2]), c.c_str(),
                static_cast<int>(widths[3]), d.c_str());
  };
  line("figure", "measured here", "target", "within");
  line(std::string(widths[0], '-'), std::string(widths[1], '-'), std::string(widths[2], '-'),
       std::string(widths[3], '-'));
  for (const Row& row : rows) line(row.figure, row.measured, row.target, row.within);
}

const Clock::time_point bench_start = Clock::now();

void Progress(const std::string& text) {
  std::fprintf(stderr, "bench_node: %6.1f s  %s\n", Seconds(Clock::now() - bench_start),
               text.c_str());
}

// ---------------------------------------------------------------------------------------------
// What a change must cost at least: the node's atomic write syncs the file and its directory.

struct FsyncCost {
  double both_ms = 0;  // p50 of file + directory
  double file_ms = 0;
  double dir_ms = 0;
};

// Creating, writing and removing `count` 1 KiB files in the configs filesystem, in seconds:
// what the filesystem alone charges for the files a first start-up must create. The isolated
// environment makes a fresh directory tree for every run, and on ext4 files created in a
// fresh tree can cost many times what they cost in a long-lived one, as a robot's is.
double MeasureCreates(int count) {
  const std::string dir = std::string(kConfigs) + ".bench_creates/";
  std::filesystem::create_directories(dir);
  const std::string block(1024, 'x');
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const std::string path = dir + std::to_string(i);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, block.data(), block.size()) < 0) {
      throw std::runtime_error("cannot create " + path);
    }
    ::close(fd);
  }
  const double seconds = Seconds(Clock::now() - start);
  std::filesystem::remove_all(dir);
  return seconds;
}

FsyncCost MeasureFsync(int samples) {
  const std::string dir = kConfigs;
  std::vector<double> costs;
  std::vector<double> file_costs;
  std::vector<double> dir_costs;
  const std::string contents(kFileSize, 'f');
  for (int i = 0; i < samples; ++i) {
    const std::string temp = dir + ".bench_fsync";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 ||
        ::write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) {
      throw std::runtime_error("cannot write " + temp);
    }
    const auto t0 = Clock::now();
    const bool file_synced = ::fsync(fd) == 0;
    const auto t1 = Clock::now();
    ::close(fd);
    if (!file_synced || std::rename(temp.c_str(), (dir + ".bench_fsync_target").c_str()) != 0) {
      throw std::runtime_error("cannot sync and rename " + temp);
    }
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto t2 = Clock::now();
    const bool dir_synced = dir_fd >= 0 && ::fsync(dir_fd) == 0;
    const auto t3 = Clock::now();
    if (dir_fd >= 0) ::close(dir_fd);
    if (!dir_synced) throw std::runtime_error("cannot sync " + dir);
    costs.push_back(Ms(t1 - t0) + Ms(t3 - t2));
    file_costs.push_back(Ms(t1 - t0));
    dir_costs.push_back(Ms(t3 - t2));
  }
  std::filesystem::remove(dir + ".bench_fsync_target");
  return {Percentile(costs, 50), Percentile(file_costs, 50), Percentile(dir_costs, 50)};
}

// ---------------------------------------------------------------------------------------------
// One full pass: start-up twice, optionally the idle cost, then the change rounds.

struct Items {
  int64_t latency_file_id = 0;
  int64_t latency_param_id = 0;
  std::vector<std::pair<std::string, std::string>> files;  // name, contents
};

std::string FileContents(int i) {
  std::string contents = "# bench item " + std::to_string(i) + "\n";
  contents.resize(kFileSize - 1, static_cast<char>('a' + i % 26));
  contents += '\n';
  return contents;
}

Items LoadItems(AdminDb& db, const Options& o) {
  Items items;
  db.ResetTables();
  config_center::test::RemoveConfigs();
  // The node writes into existing directories only; a user creates them beforehand.
  for (int d = 0; d < kDirectories; ++d) {
    char dir[32];
    std::snprintf(dir, sizeof dir, "dir%02d", d);
    std::filesystem::create_directories(std::string(kConfigs) + dir);
  }
  for (int i = 0; i < o.files; ++i) {
    char name[48];
    std::snprintf(name, sizeof name, "dir%02d/item%04d.yaml", i % kDirectories, i);
    items.files.emplace_back(name, FileContents(i));
  }
  // One transaction, a hundred rows a statement: loading is not what is measured.
  db.Exec("START TRANSACTION");
  std::string insert;
  auto flush = [&] {
    if (insert.empty()) return;
    db.Exec("INSERT INTO global_config (name, value, node_name, config_type) VALUES " + insert);
    insert.clear();
  };
  auto add = [&](const std::string& name, const std::string& value, const std::string& node,
                 int type) {
    if (!insert.empty()) insert += ",";
    insert += "(" + db.Quote(name) + "," + db.Quote(value) + "," + db.Quote(node) + "," +
              std::to_string(type) + ")";
    if (insert.size() > 64 * 1024) flush();
  };
  for (const auto& [name, contents] : items.files) add(name, contents, "", 2);
  const int per_node = o.params / kTargetNodes;
  for (int n = 0; n < kTargetNodes; ++n) {
    for (int p = 0; p < per_node; ++p) {
      add("p" + std::to_string(p), "start value " + std::to_string(p),
          "bench_target_" + std::to_string(n), 1);
    }
  }
  flush();
  db.Exec("COMMIT");
  items.latency_file_id = db.InsertItem("global_config", kLatencyFile, "start", "", 2);
  items.latency_param_id = db.InsertItem("global_config", kLatencyParam, "start", kLatencyNode, 1);
  return items;
}

struct StartUp {
  std::unique_ptr<Process> node;
  double seconds = 0;
};

StartUp StartNode(Clock::duration timeout) {
  LogWatch log;
  StartUp start;
  const auto t0 = Clock::now();
  start.node = config_center::test::StartConfigCenter();
  Clock::time_point ready;
  if (!log.WaitFor(kReady, *start.node, t0 + timeout, &ready)) {
    throw std::runtime_error("config_center did not get ready: " + start.node->Output());
  }
  start.seconds = Seconds(ready - t0);
  return start;
}

void StopNode(std::unique_ptr<Process>& node) {
  node->Signal(SIGTERM);
  const auto status = node->Wait(10s);
  if (status != 0) {
    throw std::runtime_error("config_center did not stop cleanly (status " +
                             (status ? std::to_string(*status) : "none") + "): " + node->Output());
  }
  node.reset();
}

// A start-up only counts when it did the work. Parameter targets other than the latency one
// are quiet; the node itself fails its start-up when a parameter call fails.
void VerifyStartUp(const Items& items, Process& latency_target, const std::string& param_line) {
  for (const auto& [name, contents] : items.files) {
    std::string now;
    if (!config_center::test::ReadFile(std::string(kConfigs) + name, &now) || now != contents) {
      throw std::runtime_error("after start-up " + name + " does not hold its item");
    }
  }
  if (!latency_target.WaitFor(param_line + "start\"\n", 5s)) {
    throw std::runtime_error("start-up did not set " + std::string(kLatencyNode) + "'s parameter");
  }
}

struct IdleCost {
  double floor = 0;
  double node = 0;
  double mariadb_without = 0;
  double mariadb_with = 0;
  double poll_loop = 0;
  double mariadb_with_poll_loop = 0;
};

struct PassResult {
  std::vector<double> commit_ms;
  std::vector<double> file_ms;
  std::vector<double> param_ms;
  double first_start_s = 0;
  double again_start_s = 0;
  double rss_mib = 0;
};

PassResult Pass(const std::string& dds, AdminDb& db, const Options& o, const std::string& self,
                IdleCost* idle) {
  Progress(dds + ": loading " + std::to_string(o.files) + " file and " + std::to_string(o.params) +
           " parameter items");
  const Items items = LoadItems(db, o);

  // Started together: coming up takes a while each, and it is not what is measured.
  std::vector<std::unique_ptr<Process>> targets;
  for (int n = 0; n < kTargetNodes; ++n) {
    targets.push_back(std::make_unique<Process>(
        std::vector<std::string>{"param_target", "--name", "bench_target_" + std::to_string(n),
                                 "--allow-undeclared", "--quiet"}));
  }
  auto latency_target = std::make_unique<Process>(
      std::vector<std::string>{"param_target", "--name", kLatencyNode, "--allow-undeclared"});
  std::vector<Process*> all;
  for (auto& target : targets) all.push_back(target.get());
  all.push_back(latency_target.get());
  for (Process* target : all) {
    if (!target->WaitFor("ready", 10s)) {
      throw std::runtime_error("param_target did not get ready: " + target->Output());
    }
  }
  const std::string param_line_head =
      std::string("set ") + kLatencyNode + "." + kLatencyParam + " type=string value=\"";

  // Room for a slow node: what it takes is the figure, as long as it finishes.
  const auto start_timeout = std::chrono::seconds(120);
  Progress(dds + ": first start-up");
  StartUp first = StartNode(start_timeout);
  VerifyStartUp(items, *latency_target, param_line_head);
  StopNode(first.node);

  std::unique_ptr<Process> floor;
  pid_t mariadb = 0;
  if (idle != nullptr) {
    floor = std::make_unique<Process>(std::vector<std::string>{self, "--floor-loop"});
    mariadb = MariadbPid();
    Progress(dds + ": idle MariaDB without the node");
    std::this_thread::sleep_for(o.quick ? 300ms : 1s);
    idle->mariadb_without = CpuShares({mariadb}, o.idle_seconds)[0];
    Progress(dds + ": 1 kHz loop reading the maximum, without ROS");
    Process poll(std::vector<std::string>{self, "--poll-loop"});
    std::this_thread::sleep_for(o.quick ? 300ms : 1s);
    const auto shares = CpuShares({poll.pid(), mariadb}, o.idle_seconds);
    idle->poll_loop = shares[0];
    idle->mariadb_with_poll_loop = shares[1];
    poll.Signal(SIGKILL);
    poll.Wait(5s);
  }

  Progress(dds + ": start-up again, nothing changed");
  StartUp again = StartNode(start_timeout);
  const double rss = VmRssMiB(again.node->pid());
  VerifyStartUp(items, *latency_target, param_line_head);

  if (idle != nullptr) {
    Progress(dds + ": idle node beside the floor loop");
    // Discovery chatter of the new participant settles first.
    std::this_thread::sleep_for(o.quick ? 300ms : 1s);
    const auto shares = CpuShares({again.node->pid(), floor->pid(), mariadb}, o.idle_seconds);
    idle->node = shares[0];
    idle->floor = shares[1];
    idle->mariadb_with = shares[2];
    floor->Signal(SIGKILL);
    floor->Wait(5s);
  }

  Progress(dds + ": " + std::to_string(o.rounds) + " change rounds");
  DirWatch watch(kConfigs);
  const std::string latency_path = std::string(kConfigs) + kLatencyFile;
  std::vector<double> commit_ms;
  std::vector<double> file_ms;
  std::vector<double> param_ms;
  for (int i = 1; i <= o.rounds; ++i) {
    const std::string value = "round " + std::to_string(i);
    // A file item, then a parameter item, each timed from the commit's return.
    for (const bool file : {true, false}) {
      const int64_t id = file ? items.latency_file_id : items.latency_param_id;
      const auto t0 = Clock::now();
      db.Exec("UPDATE global_config SET value = " + db.Quote(value) +
              " WHERE id = " + std::to_string(id));
      const auto committed = Clock::now();
      commit_ms.push_back(Ms(committed - t0));
      Clock::time_point seen;
      if (file) {
        if (!watch.WaitFor(kLatencyFile, latency_path, value, t0, committed + 5s, &seen)) {
          throw std::runtime_error("file change " + std::to_string(i) + " never arrived");
        }
        file_ms.push_back(Ms(seen - committed));
      } else {
        if (!latency_target->WaitFor(param_line_head + value + "\"\n", 5s, &seen)) {
          throw std::runtime_error("parameter change " + std::to_string(i) + " never arrived");
        }
        param_ms.push_back(Ms(seen - committed));
      }
    }
  }
  StopNode(again.node);
  for (auto& target : targets) target->Signal(SIGINT);
  latency_target->Signal(SIGINT);
  for (auto& target : targets) target->Wait(5s);
  latency_target->Wait(5s);

  PassResult result;
  result.commit_ms = std::move(commit_ms);
  result.file_ms = std::move(file_ms);
  result.param_ms = std::move(param_ms);
  result.first_start_s = first.seconds;
  result.again_start_s = again.seconds;
  result.rss_mib = rss;
  return result;
}

void Report(const std::string& dds, const PassResult& r, const Options& o, double fsync_ms) {
  const std::string tag = " [" + dds + "]";
  Reference("commit of the UPDATE (autocommit), p50 / p99" + tag,
            Format("%.2f", Percentile(r.commit_ms, 50)) + " / " +
                Format("%.2f ms", Percentile(r.commit_ms, 99)));
  const double param_p50 = Percentile(r.param_ms, 50);
  const double param_p99 = Percentile(r.param_ms, 99);
  Target("change committed -> parameter at its node, p50 / p99" + tag,
         Format("%.3f", param_p50) + " / " + Format("%.3f ms", param_p99), "<= 1.5 / <= 5 ms",
         param_p50 <= 1.5 && param_p99 <= 5.0);
  const double file_p50 = Percentile(r.file_ms, 50);
  const double file_limit = 1.0 + fsync_ms;
  Target("change committed -> file renamed into place, p50" + tag, Format("%.3f ms", file_p50),
         Format("<= %.3f ms (1 ms + fsync)", file_limit), file_p50 <= file_limit);
  const std::string items =
      std::to_string(o.files) + " files + " + std::to_string(o.params) + " params";
  Target("start-up, " + items + " -> ready line" + tag, Format("%.3f s", r.first_start_s),
         "<= 1.0 s", r.first_start_s <= 1.0);
  Target("start-up again, nothing changed" + tag, Format("%.3f s", r.again_start_s), "<= 0.3 s",
         r.again_start_s <= 0.3);
  Target("resident memory (VmRSS) after the repeat start-up" + tag, Format("%.1f MiB", r.rss_mib),
         "<= 40 MiB", r.rss_mib <= 40.0);
}

std::string SelfPath() {
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot read /proc/self/exe");
  return std::string(self, static_cast<size_t>(n));
}

bool ParseInt(const std::string& text, int* value) {
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || parsed <= 0 || parsed > 1000000) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// Cyclone's default discovery is multicast; lo comes up without the flag, so Cyclone would
// turn multicast off and discover over unicast instead. Only in a private namespace that
// holds nothing but lo does this touch it. Returns a line for the output.
std::string LoopbackMulticast() {
  // Asked of the kernel, not /sys, which still shows the namespace it was mounted in.
  std::vector<std::string> interfaces;
  if (struct if_nameindex* names = ::if_nameindex()) {
    for (struct if_nameindex* at = names; at->if_index != 0; ++at)
      interfaces.emplace_back(at->if_name);
    ::if_freenameindex(names);
  }
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  const bool read = sock >= 0 && ::ioctl(sock, SIOCGIFFLAGS, &request) == 0;
  if (sock >= 0) ::close(sock);
  if (!read) throw std::runtime_error("cannot read the flags of lo");
  if ((request.ifr_flags & IFF_MULTICAST) != 0) return "lo already carries multicast";
  if (interfaces.size() != 1 || interfaces[0] != "lo") {
    return "lo has no multicast and this is not a private namespace: left as it is "
           "(Cyclone falls back to unicast discovery)";
  }
  if (std::system("ip link set lo multicast on") != 0) {
    throw std::runtime_error("ip link set lo multicast on failed");
  }
  return "turned multicast on for lo (ip link set lo multicast on) so that Cyclone's default "
         "multicast discovery runs";
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    bool ok = true;
    if (a == "--floor-loop") {
      FloorLoop();
    } else if (a == "--poll-loop") {
      PollLoop();
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--quick") {
      o.quick = true;
      o.rounds = 20;
      o.files = 200;
      o.params = 50;
      o.idle_seconds = 1.0;
      o.fsync_samples = 20;
    } else if (a == "--rounds" && has_value) {
      ok = ParseInt(argv[++i], &o.rounds);
    } else if (a == "--idle-seconds" && has_value) {
      char* end = nullptr;
      o.idle_seconds = std::strtod(argv[++i], &end);
      ok = *end == '\0' && o.idle_seconds > 0;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "bench_node: bad argument '%s'\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  const char* isolated = std::getenv("CONFIG_CENTER_ISOLATED");
  if (isolated == nullptr || std::string(isolated) != "inside") {
    std::fprintf(stderr, "bench_node: run it inside scripts/isolated.sh (see scripts/bench.sh)\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);

  try {
    const std::string self = SelfPath();
    AdminDb db;
    Progress("fsync cost on " + std::string(kConfigs));
    const FsyncCost fsync = MeasureFsync(o.fsync_samples);
    const double fsync_ms = fsync.both_ms;
    Progress("file creation cost on " + std::string(kConfigs));
    const double first_creates_s = MeasureCreates(o.files);
    const double later_creates_s = MeasureCreates(o.files);

    IdleCost idle;
    const std::string isolated_dds = "isolated.sh DDS";
    const PassResult with_isolated = Pass(isolated_dds, db, o, self, &idle);

    // Cyclone's own defaults: the children get no CYCLONEDDS_URI.
    const char* uri = std::getenv("CYCLONEDDS_URI");
    const std::string saved_uri = uri != nullptr ? uri : "";
    ::unsetenv("CYCLONEDDS_URI");
    const std::string multicast_note = LoopbackMulticast();
    const std::string default_dds = "Cyclone defaults";
    const PassResult with_defaults = Pass(default_dds, db, o, self, nullptr);
    if (uri != nullptr) ::setenv("CYCLONEDDS_URI", saved_uri.c_str(), 1);
    db.ResetTables();
    config_center::test::RemoveConfigs();

    Reference("floor: bare 1 kHz clock_nanosleep loop, CPU of one core",
              Format("%.2f %%", idle.floor));
    Target("idle node, CPU of one core", Format("%.2f %%", idle.node),
           Format("<= %.2f %% (2x floor)", 2 * idle.floor), idle.node <= 2 * idle.floor);
    const double caused = idle.mariadb_with - idle.mariadb_without;
    Target("idle MariaDB server, CPU caused by the node",
           Format("%.2f %%", caused) + Format(" (%.2f", idle.mariadb_with) +
               Format(" - %.2f)", idle.mariadb_without),
           Format("<= %.2f %% (2x floor)", 2 * idle.floor), caused <= 2 * idle.floor);
    Reference("  bare 1 kHz loop + one kept MAX(id) read per tick (no ROS), CPU of one core",
              Format("%.2f %%", idle.poll_loop));
    Reference("  idle MariaDB server, CPU caused by that loop",
              Format("%.2f %%", idle.mariadb_with_poll_loop - idle.mariadb_without));
    Reference("fsync of a 1 KiB file + its directory on /opt/velgar/configs, p50",
              Format("%.3f ms", fsync_ms) + Format(" (file %.3f", fsync.file_ms) +
                  Format(" + dir %.3f)", fsync.dir_ms));
    Reference("creating " + std::to_string(o.files) +
                  " 1 KiB files in the fresh configs tree: first / second time",
              Format("%.3f s", first_creates_s) + Format(" / %.3f s", later_creates_s));
    Report(isolated_dds, with_isolated, o, fsync_ms);
    Report(default_dds, with_defaults, o, fsync_ms);

    std::printf("config_center measured from outside (%s: %d change rounds, %.1f s idle windows)\n",
                o.quick ? "quick" : "full", o.rounds, o.idle_seconds);
    PrintTable();
    // utime and stime come in whole ticks: each share may be off by one tick per window.
    const double tick_share = 100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) / o.idle_seconds;
    std::printf(
        "CPU shares: /proc/<pid>/stat utime+stime over wall time, +-%.2f %% (one tick in %.1f s).\n"
        "Latencies: from the commit's return to when this program read param_target's line or\n"
        "the file's rename (inotify). Cyclone defaults: CYCLONEDDS_URI unset for the node and\n"
        "the targets; %s.\n",
        tick_share, o.idle_seconds, multicast_note.c_str());
  } catch (const std::exception& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "bench_node: measurement failed: %s\n", error.what());
    return 1;
  }
  return 0;
}
