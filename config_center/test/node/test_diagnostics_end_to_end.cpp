// /diagnostics as a robot's monitor sees it: OK while all is well, a warning naming a node
// that stays absent, OK again once it runs, an error while the database is stopped. The real
// config_center and param_target processes over DDS, the isolated MariaDB (stopped and
// started with db-stop and db-start) and an rclcpp subscriber in this test.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>

#include "support/node_test.hpp"

namespace config_center::test {
namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using SteadyClock = std::chrono::steady_clock;

// A change of level is published at once, a status otherwise once a second: a level change
// seen this soon after its cause did not wait for the next second.
constexpr auto kAtOnce = 300ms;

// Whole milliseconds, for checks that print readably.
int64_t Ms(SteadyClock::duration duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// One message as it arrived.
struct Received {
  DiagnosticArray array;
  SteadyClock::time_point at;
};

const DiagnosticStatus* Find(const DiagnosticArray& array, const std::string& name) {
  for (const DiagnosticStatus& status : array.status) {
    if (status.name == "config_center: " + name) return &status;
  }
  return nullptr;
}

std::string Value(const DiagnosticStatus& status, const std::string& key) {
  for (const auto& pair : status.values) {
    if (pair.key == key) return pair.value;
  }
  return "<no " + key + ">";
}

uint8_t Worst(const DiagnosticArray& array) {
  uint8_t worst = DiagnosticStatus::OK;
  for (const DiagnosticStatus& status : array.status) worst = std::max(worst, status.level);
  return worst;
}

std::string Text(const DiagnosticArray& array) {
  std::string text;
  for (const DiagnosticStatus& status : array.status) {
    text += "[" + std::to_string(status.level) + "] " + status.name + ": " + status.message + "\n";
    for (const auto& pair : status.values) text += "    " + pair.key + ": " + pair.value + "\n";
  }
  return text;
}

// Collects what config_center publishes on /diagnostics.
class DiagnosticsWatch {
public:
  DiagnosticsWatch() : node_(std::make_shared<rclcpp::Node>("diagnostics_watch")) {
    subscription_ = node_->create_subscription<DiagnosticArray>(
        "/diagnostics", rclcpp::QoS(100).reliable(), [this](const DiagnosticArray& array) {
          std::lock_guard<std::mutex> lock(mutex_);
          received_.push_back({array, SteadyClock::now()});
          arrived_.notify_all();
        });
    executor_.add_node(node_);
    spinner_ = std::thread([this] { executor_.spin(); });
  }
  ~DiagnosticsWatch() {
    executor_.cancel();
    spinner_.join();
  }

  // The first message from the cursor on that `wanted` accepts; the cursor moves past it.
  std::optional<Received> WaitFor(const std::function<bool(const DiagnosticArray&)>& wanted,
                                  std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = SteadyClock::now() + timeout;
    for (;;) {
      for (; cursor_ < received_.size(); ++cursor_) {
        if (wanted(received_[cursor_].array)) return received_[cursor_++];
      }
      if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout &&
          cursor_ == received_.size()) {
        return std::nullopt;
      }
    }
  }

  std::string Last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_.empty() ? "(nothing received)" : Text(received_.back().array);
  }

private:
  rclcpp::Node::SharedPtr node_;
  rclcpp::Subscription<DiagnosticArray>::SharedPtr subscription_;
  rclcpp::executors::SingleThreadedExecutor executor_;
  std::thread spinner_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Received> received_;
  size_t cursor_ = 0;
};

bool AllOk(const DiagnosticArray& array) {
  return array.status.size() == 4 && Worst(array) == DiagnosticStatus::OK;
}

class DiagnosticsEndToEnd : public NodeTest {
protected:
  static void SetUpTestSuite() { rclcpp::init(0, nullptr); }
  static void TearDownTestSuite() { rclcpp::shutdown(); }

  void SetUp() override {
    NodeTest::SetUp();
    watch_ = std::make_unique<DiagnosticsWatch>();
  }

  std::unique_ptr<DiagnosticsWatch> watch_;
};

TEST_F(DiagnosticsEndToEnd, AnAbsentNodeWarnsAfterAFewSecondsAndIsOkOnceItRuns) {
  db_->InsertItem("global_config", "site.yaml", "s", "", 2);
  auto center = StartReady();
  const auto ok = watch_->WaitFor(AllOk, 5s);
  ASSERT_TRUE(ok) << watch_->Last();
  const DiagnosticStatus* log = Find(ok->array, "Change log");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(Value(*log, "Position"), "1");
  // How: through the binary log where the server writes one, else by polling; either way
  // the field says which, and why.
  const bool binary_log = db_->Scalar("SELECT @@global.log_bin") == "1";
  const std::string expected = binary_log ? "the binary log (change feed up)"
                                          : "a poll every 1 ms (the change feed is down: no "
                                            "binary log (log_bin is OFF))";
  const auto learns = watch_->WaitFor(
      [&expected](const DiagnosticArray& array) {
        const DiagnosticStatus* status = Find(array, "Change log");
        return status != nullptr && Value(*status, "Learns of changes") == expected;
      },
      3s);
  EXPECT_TRUE(learns) << watch_->Last();
  EXPECT_EQ(Find(ok->array, "Database")->message, "connected");
  EXPECT_EQ(Find(ok->array, "Targets")->message, "none held");

  // A node this robot does not run yet, and a file name that can never be a file.
  db_->InsertItem("global_config", "reach", "5", "ghost", 1);
  db_->InsertItem("global_config", "a//b", "x", "", 2);
  ASSERT_TRUE(log_.WaitFor("Holding back node ghost", 3s)) << log_.Since();
  const auto held_at = SteadyClock::now();
  // Held for a moment is no warning yet, but it is listed, with what was passed over.
  const auto listed = watch_->WaitFor(
      [](const DiagnosticArray& array) {
        const DiagnosticStatus* targets = Find(array, "Targets");
        return targets != nullptr && Value(*targets, "node ghost") != "<no node ghost>";
      },
      2s);
  ASSERT_TRUE(listed) << watch_->Last();
  EXPECT_EQ(Worst(listed->array), DiagnosticStatus::OK) << Text(listed->array);
  EXPECT_NE(Value(*Find(listed->array, "Targets"), "node ghost").find("node ghost is not running"),
            std::string::npos)
      << Text(listed->array);
  EXPECT_EQ(Value(*Find(listed->array, "Change log"), "Passed over"), "1") << Text(listed->array);
  EXPECT_NE(Value(*Find(listed->array, "Change log"), "Last passed over").find("a//b"),
            std::string::npos)
      << Text(listed->array);

  const auto warned = watch_->WaitFor(
      [](const DiagnosticArray& array) { return Worst(array) == DiagnosticStatus::WARN; }, 6s);
  ASSERT_TRUE(warned) << watch_->Last();
  const DiagnosticStatus* targets = Find(warned->array, "Targets");
  EXPECT_EQ(targets->level, DiagnosticStatus::WARN);
  EXPECT_NE(targets->message.find("node ghost"), std::string::npos) << targets->message;
  EXPECT_NE(targets->message.find("node ghost is not running"), std::string::npos)
      << targets->message;
  // Three seconds after it was held (the node held it a little before the test read its
  // log), at that moment rather than at the next once-a-second status.
  EXPECT_GE(Ms(warned->at - held_at), 2900);
  EXPECT_LE(Ms(warned->at - held_at), Ms(3s + kAtOnce));

  auto ghost = StartTarget({"--name", "ghost", "--string", "reach=0"});
  SteadyClock::time_point set_at;
  ASSERT_TRUE(ghost->WaitFor("set ghost.reach type=string value=\"5\"", 3s, &set_at))
      << log_.Since();
  const auto back = watch_->WaitFor(AllOk, 3s);
  ASSERT_TRUE(back) << watch_->Last();
  EXPECT_EQ(Find(back->array, "Targets")->message, "none held");
  EXPECT_LE(Ms(back->at - set_at), Ms(kAtOnce));
  Stop(*center);
  Stop(*ghost);
}

TEST_F(DiagnosticsEndToEnd, AStoppedDatabaseIsAnErrorUntilItIsBack) {
  // Started again when the test ends, whatever happened, so the suites after it have it.
  struct DatabaseBackAtEnd {
    ~DatabaseBackAtEnd() {
      std::system(
          "mariadb-admin --socket=/run/mysqld/mysqld.sock ping >/dev/null 2>&1 || db-start");
    }
  } database_back_at_end;
  auto center = StartReady();
  ASSERT_TRUE(watch_->WaitFor(AllOk, 5s)) << watch_->Last();

  db_.reset();
  ASSERT_EQ(std::system("db-stop"), 0);
  const auto stopped_at = SteadyClock::now();
  const auto lost = watch_->WaitFor(
      [](const DiagnosticArray& array) { return Worst(array) == DiagnosticStatus::ERROR; }, 3s);
  ASSERT_TRUE(lost) << watch_->Last();
  const DiagnosticStatus* database = Find(lost->array, "Database");
  EXPECT_EQ(database->level, DiagnosticStatus::ERROR) << Text(lost->array);
  EXPECT_EQ(database->message.rfind("lost: ", 0), 0u) << Text(lost->array);
  EXPECT_EQ(Find(lost->array, "Change log")->level, DiagnosticStatus::ERROR);
  // The node notices on its next pass, which may be before db-stop has seen the server exit.
  EXPECT_LE(Ms(lost->at - stopped_at), Ms(kAtOnce));
  // It stays an error, once a second, while the database is away.
  const auto still = watch_->WaitFor(
      [](const DiagnosticArray& array) { return Worst(array) == DiagnosticStatus::ERROR; }, 2s);
  ASSERT_TRUE(still) << watch_->Last();
  EXPECT_NE(Find(still->array, "Last error")->message, "none logged since start-up");

  ASSERT_EQ(std::system("db-start"), 0);
  const auto started_at = SteadyClock::now();
  const auto back = watch_->WaitFor(AllOk, 5s);
  ASSERT_TRUE(back) << watch_->Last();
  EXPECT_EQ(Find(back->array, "Database")->message, "connected");
  EXPECT_LE(Ms(back->at - started_at), Ms(kAtOnce));

  // And it follows the log again.
  db_ = std::make_unique<AdminDb>();
  db_->InsertItem("global_config", "after.yaml", "a", "", 2);
  const std::string a = "a";
  EXPECT_TRUE(WaitForFile(std::string(kConfigs) + "after.yaml", &a, 2s)) << log_.Since();
  Stop(*center);
}

// A robot not set up with an account of its own: the node logs in with the password fixed in
// the program, polls (that account may not read the binary log), and says both, once in its
// log and for as long as it runs on /diagnostics.
TEST_F(DiagnosticsEndToEnd, APublicPasswordIsAWarningAndTheNodePolls) {
  Process center({"env", "-u", "CREDENTIALS_DIRECTORY", "config_center"});
  ASSERT_TRUE(WaitUntilReady(log_, center, kStartup)) << center.Output();
  const auto warned = watch_->WaitFor(
      [](const DiagnosticArray& array) {
        const DiagnosticStatus* database = Find(array, "Database");
        return database != nullptr && database->level == DiagnosticStatus::WARN;
      },
      5s);
  ASSERT_TRUE(warned) << watch_->Last();
  const DiagnosticStatus* database = Find(warned->array, "Database");
  EXPECT_EQ(database->message,
            "connected; the password of its account robot is public (fixed in the program): "
            "run deploy/setup_robot.sh");
  EXPECT_EQ(Value(*database, "Account"), "robot (fixed in the program)");
  EXPECT_EQ(Worst(warned->array), DiagnosticStatus::WARN) << Text(warned->array);
  // Polling, and why: with a binary log the feed is refused the privilege.
  const bool binary_log = db_->Scalar("SELECT @@global.log_bin") == "1";
  const std::string why = binary_log ? "a poll every 1 ms (the change feed is down: no privilege "
                                       "to read the binary log"
                                     : "a poll every 1 ms (the change feed is down: no binary log";
  const auto polling = watch_->WaitFor(
      [&why](const DiagnosticArray& array) {
        const DiagnosticStatus* log = Find(array, "Change log");
        return log != nullptr && Value(*log, "Learns of changes").rfind(why, 0) == 0;
      },
      3s);
  EXPECT_TRUE(polling) << watch_->Last();
  // Still a warning a few statuses later, and changes still arrive.
  db_->InsertItem("global_config", "public.yaml", "p", "", 2);
  const std::string p = "p";
  EXPECT_TRUE(WaitForFile(std::string(kConfigs) + "public.yaml", &p, 2s)) << log_.Since();
  const auto later = watch_->WaitFor(
      [](const DiagnosticArray& array) {
        const DiagnosticStatus* log = Find(array, "Change log");
        return log != nullptr && Value(*log, "Position") != "0";
      },
      3s);
  ASSERT_TRUE(later) << watch_->Last();
  EXPECT_EQ(Find(later->array, "Database")->level, DiagnosticStatus::WARN);
  // Said in the log once, not on every pass or reconnection.
  EXPECT_EQ(log_.Count("logs in with the password fixed in the program"), 1u) << log_.Since();
  Stop(center);
}

}  // namespace
}  // namespace config_center::test
