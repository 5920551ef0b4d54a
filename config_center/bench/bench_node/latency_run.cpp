#include "bench_node/latency_run.hpp"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "bench_node/bench_items.hpp"
#include "bench_node/bench_report.hpp"
#include "bench_node/change_source.hpp"
#include "bench_node/latency_floors.hpp"
#include "bench_node/node_log.hpp"
#include "bench_node/startup_scenario.hpp"
#include "support/config_files.hpp"
#include "support/log_tail.hpp"
#include "support/percentile.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace config_center::bench {

namespace {

constexpr int kFanProcesses = 4;
constexpr int kFanNodesPerProcess = 25;
constexpr char kFanParam[] = "fan";
constexpr char kFloorParam[] = "floor";       // set by this process only; the node manages none
constexpr char kFloorNode[] = "bench_floor";  // a quiet target for the bare calls alone

std::string FanNode(int p, int n) { return "fan_" + std::to_string(p) + "_" + std::to_string(n); }

// What one build of the node took, over all its blocks.
struct Figures {
  std::vector<double> commit_ms;       // the UPDATE's round trip
  std::vector<double> feed_ms;         // commit returned -> this process's feed has the event
  std::vector<double> param_ms;        // commit returned -> the target's set callback
  std::vector<double> node_share_ms;   // the same, less the feed floor and the bare one-way
  std::vector<double> bare_rtt_ms;     // bare SetParameters after a pause: send -> answer
  std::vector<double> bare_oneway_ms;  // the same: send -> the target's callback
  std::vector<double> warm_rtt_ms;     // bare calls back to back, quiet target: send -> answer
  std::vector<double> fan_ms;          // commit returned -> the last of 100 nodes set
  std::vector<double> fan_first_ms;    // commit returned -> the first of 4 processes' last set
  std::vector<double> bare_fan_ms;     // 100 bare requests: first send -> last answer
};

// The CLOCK_MONOTONIC stamp of the `sets N at_ns=T` line right before the last `line` of the
// output (param_target --report-every 1 prints it as the set is accepted).
Clock::time_point StampBefore(const std::string& output, const std::string& line) {
  const size_t at = output.rfind(line);
  const size_t stamp = at == std::string::npos ? at : output.rfind(" at_ns=", at);
  if (stamp == std::string::npos) throw std::runtime_error("no stamp before: " + line);
  return Clock::time_point(std::chrono::nanoseconds(std::atoll(output.c_str() + stamp + 7)));
}

// The stamp of a container's `sets N at_ns=T` line for exactly `sets`.
Clock::time_point WaitForSets(test::Process& container, int64_t sets,
                              std::chrono::milliseconds timeout = 5s) {
  const std::string prefix = "sets " + std::to_string(sets) + " at_ns=";
  if (!container.WaitFor(prefix, timeout) || !container.WaitFor("\n", 1s)) {
    throw std::runtime_error("a container did not report " + std::to_string(sets) +
                             " sets: " + container.Output());
  }
  const std::string output = container.Output();
  const size_t at = output.rfind(prefix);
  return Clock::time_point(
      std::chrono::nanoseconds(std::atoll(output.c_str() + at + prefix.size())));
}

std::string Line(const std::string& name, const std::string& value) {
  return std::string("set ") + kLatencyNode + "." + name + " type=string value=\"" + value + "\"\n";
}

void Pause() { std::this_thread::sleep_for(std::chrono::microseconds(3000 + std::rand() % 7000)); }

class LatencyRun {
public:
  explicit LatencyRun(const Options& o) : o_(o) {
    test::AdminDb db;
    Options small = o;
    small.files = 20;
    small.params = 0;
    items_ = LoadItems(db, small);
    test::ItemRowsInsert rows(db);
    for (int p = 0; p < kFanProcesses; ++p) {
      for (int n = 0; n < kFanNodesPerProcess; ++n) rows.Add(kFanParam, "start", FanNode(p, n), 1);
    }
    rows.Flush();
    UseSource(db, ChangeSource::kFeed);
    target_ = std::make_unique<test::Process>(std::vector<std::string>{
        "param_target", "--name", kLatencyNode, "--allow-undeclared", "--report-every", "1"});
    for (int p = 0; p < kFanProcesses; ++p) {
      containers_.push_back(std::make_unique<test::Process>(std::vector<std::string>{
          "param_target", "--name", "fan_" + std::to_string(p), "--nodes",
          std::to_string(kFanNodesPerProcess), "--allow-undeclared", "--quiet", "--report-every",
          std::to_string(kFanNodesPerProcess)}));
      sets_.push_back(0);
    }
    floor_target_ = std::make_unique<test::Process>(std::vector<std::string>{
        "param_target", "--name", kFloorNode, "--allow-undeclared", "--quiet"});
    if (!target_->WaitFor("ready", 10s) || !floor_target_->WaitFor("ready", 10s)) {
      throw std::runtime_error("latency targets not ready");
    }
    for (auto& container : containers_) {
      if (!container->WaitFor("ready", 30s)) throw std::runtime_error("container not ready");
    }
    bare_.Discover({kLatencyNode, kFloorNode});
    std::vector<std::string> names;
    for (int p = 0; p < kFanProcesses; ++p) {
      for (int n = 0; n < kFanNodesPerProcess; ++n) names.push_back(FanNode(p, n));
    }
    bare_fan_.Discover(names);
  }

  ~LatencyRun() {
    for (auto& container : containers_) container->Signal(SIGINT);
    target_->Signal(SIGINT);
    floor_target_->Signal(SIGINT);
    for (auto& container : containers_) container->Wait(5s);
    target_->Wait(5s);
    floor_target_->Wait(5s);
  }

  void Block(const std::string& program, int block, Figures* figures) {
    Progress(program + ": block " + std::to_string(block + 1) + ", start-up");
    StartUp node = StartNode(120s, program);
    if (!target_->WaitFor(Line(kLatencyParam, param_value_), 5s)) {
      throw std::runtime_error("start-up did not set the latency target: " + target_->Output());
    }
    for (size_t p = 0; p < containers_.size(); ++p) {
      sets_[p] += kFanNodesPerProcess;
      WaitForSets(*containers_[p], sets_[p], 30s);
    }
    ExpectSource(*node.log, *node.node, ChangeSource::kFeed);
    // A target held during start-up (one that was not matched yet) is not what is measured;
    // one held while measuring is.
    test::LogTail measured;
    Progress(program + ": " + std::to_string(o_.rounds) + " changes");
    for (int i = 0; i < o_.rounds; ++i) ParamRound(figures);
    const int fan_rounds = std::max(3, o_.rounds / 20);
    Progress(program + ": " + std::to_string(fan_rounds) + " transactions to 100 nodes");
    for (int i = 0; i < fan_rounds; ++i) FanRound(figures);
    ExpectNoLogLine(measured, "Holding back", "while measuring");
    StopNode(node.node);
  }

private:
  void ParamRound(Figures* f) {
    Pause();
    param_value_ = "latency " + std::to_string(++round_);
    test::AdminDb& db = db_;
    feed_.Arm();
    const auto t0 = Clock::now();
    db.Exec("UPDATE global_config SET value = " + db.Quote(param_value_) +
            " WHERE id = " + std::to_string(items_.latency_param_id));
    const auto committed = Clock::now();
    const std::string line = Line(kLatencyParam, param_value_);
    if (!target_->WaitFor(line, 5s)) throw std::runtime_error("change never arrived: " + line);
    const Clock::time_point set = StampBefore(target_->Output(), line);
    const auto woke = feed_.WokeAt(1s);
    if (!woke) throw std::runtime_error("this process's change feed missed a commit");
    // The bare call to the same target, after the same idle pause a change comes after, then
    // once more at once, as bench_param_calls makes its calls (back to back).
    Pause();
    double oneway = 0;
    const double rtt = BareCall(param_value_, &oneway);
    // Back to back to a quiet target of its own, which prints nothing, as bench_param_calls'
    // target does (the latency target writes two lines to its output before it answers).
    Clock::time_point sent;
    bare_.RoundTrip(kFloorNode, kFloorParam, param_value_, &sent);
    const double warm_rtt = bare_.RoundTrip(kFloorNode, kFloorParam, param_value_ + "'", &sent);
    f->commit_ms.push_back(Ms(committed - t0));
    f->feed_ms.push_back(Ms(*woke - committed));
    f->param_ms.push_back(Ms(set - committed));
    f->node_share_ms.push_back(Ms(set - *woke) - oneway);
    f->bare_rtt_ms.push_back(rtt);
    f->bare_oneway_ms.push_back(oneway);
    f->warm_rtt_ms.push_back(warm_rtt);
  }

  // One bare SetParameters call to the latency target: its round trip, and in `oneway` from
  // the send to the target's set callback, in ms.
  double BareCall(const std::string& value, double* oneway) {
    Clock::time_point sent;
    const double rtt = bare_.RoundTrip(kLatencyNode, kFloorParam, value, &sent);
    const std::string line = Line(kFloorParam, value);
    if (!target_->WaitFor(line, 5s)) throw std::runtime_error("bare set not reported: " + line);
    *oneway = Ms(StampBefore(target_->Output(), line) - sent);
    return rtt;
  }

  void FanRound(Figures* f) {
    std::this_thread::sleep_for(50ms);
    const std::string value = "fan " + std::to_string(++round_);
    db_.Exec("UPDATE global_config SET value = " + db_.Quote(value) + " WHERE name = '" +
             kFanParam + "'");
    const auto committed = Clock::now();
    Clock::time_point last = Clock::time_point::min();
    Clock::time_point first = Clock::time_point::max();
    for (size_t p = 0; p < containers_.size(); ++p) {
      sets_[p] += kFanNodesPerProcess;
      const auto at = WaitForSets(*containers_[p], sets_[p]);
      last = std::max(last, at);
      first = std::min(first, at);
    }
    f->fan_ms.push_back(Ms(last - committed));
    f->fan_first_ms.push_back(Ms(first - committed));
    std::this_thread::sleep_for(50ms);
    f->bare_fan_ms.push_back(bare_fan_.FanOut(kFloorParam, value));
    for (size_t p = 0; p < containers_.size(); ++p) {
      sets_[p] += kFanNodesPerProcess;
      WaitForSets(*containers_[p], sets_[p]);
    }
  }

  const Options& o_;
  Items items_;
  test::AdminDb db_;
  std::unique_ptr<test::Process> target_;
  std::unique_ptr<test::Process> floor_target_;
  std::vector<std::unique_ptr<test::Process>> containers_;
  std::vector<int64_t> sets_;
  FeedFloor feed_;
  BareParamCalls bare_{"bench_bare_call"};         // one client: the latency target's
  BareParamCalls bare_fan_{"bench_bare_fan_out"};  // one client for each of the 100 nodes
  std::string param_value_ = "start";
  int round_ = 0;
};

std::string P(const std::vector<double>& v, double percent) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", test::Percentile(v, percent));
  return text;
}

void Print(const std::string& program, const Figures& f) {
  // Judged by the lower floor: the round trip made back to back.
  const double floor50 = test::Percentile(f.feed_ms, 50) + test::Percentile(f.warm_rtt_ms, 50);
  const double floor99 = test::Percentile(f.feed_ms, 99) + test::Percentile(f.warm_rtt_ms, 99);
  const double p50 = test::Percentile(f.param_ms, 50);
  const double p99 = test::Percentile(f.param_ms, 99);
  const double fan50 = test::Percentile(f.fan_ms, 50);
  const double fan_max = test::Percentile(f.fan_ms, 100);
  std::printf("\nnode: %s (%zu changes, %zu transactions to 100 nodes)\n", program.c_str(),
              f.param_ms.size(), f.fan_ms.size());
  std::printf("  %-62s %9s %9s\n", "", "p50 ms", "p99 ms");
  const auto row = [](const char* what, const std::vector<double>& v) {
    std::printf("  %-62s %9s %9s\n", what, P(v, 50).c_str(), P(v, 99).c_str());
  };
  row("the UPDATE's commit round trip", f.commit_ms);
  row("floor: commit returned -> this process's change feed has it", f.feed_ms);
  row("floor: bare SetParameters back to back, quiet target, round trip", f.warm_rtt_ms);
  std::printf("  %-62s %9.3f %9.3f\n", "floor sum (feed + bare back-to-back round trip)", floor50,
              floor99);
  row("bare SetParameters after 3-10 ms idle (as changes come)", f.bare_rtt_ms);
  row("  of which send -> the target's set callback", f.bare_oneway_ms);
  row("commit returned -> parameter set in its node's callback", f.param_ms);
  row("  less the feed floor and the idle bare one-way: the node's own", f.node_share_ms);
  std::printf("  target: p50 <= 1.3x floor sum (%.3f ms): %s; p99 <= 2x (%.3f ms): %s\n",
              1.3 * floor50, p50 <= 1.3 * floor50 ? "met" : "not met", 2 * floor99,
              p99 <= 2 * floor99 ? "met" : "not met");
  std::printf("  %-62s %9s %9s\n", "", "p50 ms", "max ms");
  const auto max_row = [](const char* what, const std::vector<double>& v) {
    std::printf("  %-62s %9s %9s\n", what, P(v, 50).c_str(), P(v, 100).c_str());
  };
  max_row("one transaction, 100 nodes: commit returned -> the last set", f.fan_ms);
  max_row("  the same, to the first of 4 processes done", f.fan_first_ms);
  max_row("floor: 100 bare requests, first send -> last answer", f.bare_fan_ms);
  std::printf("  target: 100 nodes within 50 ms: p50 %s, max %s\n", fan50 <= 50 ? "met" : "not met",
              fan_max <= 50 ? "met" : "not met");
}

}  // namespace

void RunLatencyComparison(const Options& o, const std::vector<std::string>& programs) {
  std::srand(11);
  std::map<std::string, Figures> figures;
  {
    LatencyRun run(o);
    for (int block = 0; block < o.blocks; ++block) {
      for (const std::string& program : programs) run.Block(program, block, &figures[program]);
    }
  }
  {
    test::AdminDb db;
    db.ResetTables();
  }
  test::RemoveConfigs();
  std::printf("bench_node --latency: %d blocks of %d changes per build, alternating\n", o.blocks,
              o.rounds);
  for (const std::string& program : programs) Print(program, figures[program]);
}

}  // namespace config_center::bench
