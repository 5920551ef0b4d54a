// config_probe and param_target as people and the node's tests use them: separate
// processes talking over Cyclone DDS on this test's own ROS domain. Parameters are set the
// way a person sets them, with the ros2 CLI, and the way config_center sends them, with an
// rclcpp client in this process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <rclcpp/version.h>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rcl_interfaces/srv/set_parameters_atomically.hpp>
#include <rclcpp/rclcpp.hpp>
#include <velgar_protocol/srv/config_operate.hpp>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kBin = TOOLS_BIN_DIR;

// rclcpp's refusal to withdraw a declared parameter, word for word; Jazzy's rclcpp 28 fixed
// its article.
#if RCLCPP_VERSION_MAJOR >= 28
const std::string kCannotUndeclare = "cannot undeclare a statically typed parameter";
#else
const std::string kCannotUndeclare = "cannot undeclare an statically typed parameter";
#endif

// A child process with its stdout and stderr on pipes.
class Process {
public:
  explicit Process(std::vector<std::string> argv) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      close(out[0]);
      close(err[0]);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Process() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  // Next stdout line, or "" with timed_out set when none came in time.
  std::string ReadLine(milliseconds timeout, bool* timed_out = nullptr) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (timed_out) *timed_out = false;
        return line;
      }
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char chunk[4096];
      const ssize_t n = read(out_, chunk, sizeof(chunk));
      if (n <= 0) break;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    if (timed_out) *timed_out = true;
    return "";
  }

  // Exit status, or -1 when the process is still running at the deadline.
  int Wait(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (status_ < 0) {
      int st = 0;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        break;
      }
      if (Clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return status_;
  }

  std::string Drain(int fd) {
    std::string all;
    char chunk[4096];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 0) <= 0) break;
      const ssize_t n = read(fd, chunk, sizeof(chunk));
      if (n <= 0) break;
      all.append(chunk, static_cast<size_t>(n));
    }
    return all;
  }
  std::string RestOfStdout() { return buffer_ + Drain(out_); }
  std::string StderrText() { return Drain(err_); }
  void Signal(int sig) { kill(pid_, sig); }

private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int status_ = -1;
  std::string buffer_;
};

struct Run {
  int status;
  std::string out;
  std::string err;
  double seconds;
};

Run Probe(std::vector<std::string> args) {
  args.insert(args.begin(), kBin + "/config_probe");
  const auto start = Clock::now();
  Process p(args);
  const int status = p.Wait(milliseconds(15000));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return Run{status, p.RestOfStdout(), p.StderrText(), seconds};
}

// The ros2 CLI from PATH, without its daemon: nothing outlives the call, and the call's own
// discovery (half a second) sees a node that is already up.
Run Ros2(std::vector<std::string> args) {
  args.insert(args.begin(), "ros2");
  args.insert(args.begin() + 3, "--no-daemon");
  const auto start = Clock::now();
  Process p(args);
  const int status = p.Wait(milliseconds(30000));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return Run{status, p.RestOfStdout(), p.StderrText(), seconds};
}

std::unique_ptr<Process> StartTarget(std::vector<std::string> args) {
  args.insert(args.begin(), kBin + "/param_target");
  auto p = std::make_unique<Process>(args);
  bool timed_out = false;
  const std::string first = p->ReadLine(milliseconds(10000), &timed_out);
  EXPECT_EQ(first, "ready") << p->StderrText();
  return p;
}

class Tools : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    // Our own domain, so that parallel DDS tests cannot answer for our services.
    const int domain = 150 + static_cast<int>(getpid() % 50);
    setenv("ROS_DOMAIN_ID", std::to_string(domain).c_str(), 1);
    rclcpp::init(0, nullptr);
    node_ = std::make_shared<rclcpp::Node>("tools_test");
  }
  static void TearDownTestSuite() {
    node_.reset();
    rclcpp::shutdown();
  }

  // One parameter to TARGET's set_parameters as config_center sends an item: a string, or
  // with no value to withdraw it. Empty when no answer came within the timeout.
  static std::optional<rcl_interfaces::msg::SetParametersResult> Send(
      const std::string& target, const std::string& name, const std::string* value,
      std::chrono::duration<double> timeout = std::chrono::seconds(3)) {
    using rcl_interfaces::srv::SetParameters;
    auto client = node_->create_client<SetParameters>("/" + target + "/set_parameters");
    if (!client->wait_for_service(timeout)) return std::nullopt;
    auto request = std::make_shared<SetParameters::Request>();
    rcl_interfaces::msg::Parameter p;
    p.name = name;
    if (value != nullptr) {
      p.value.type = rcl_interfaces::msg::ParameterType::PARAMETER_STRING;
      p.value.string_value = *value;
    }
    request->parameters.push_back(p);
    auto future = client->async_send_request(request);
    if (rclcpp::spin_until_future_complete(node_, future, timeout) !=
        rclcpp::FutureReturnCode::SUCCESS) {
      client->remove_pending_request(future);
      return std::nullopt;
    }
    const auto response = future.get();
    if (response->results.size() != 1) return std::nullopt;
    return response->results[0];
  }

  // NAMES set to string VALUES in one ~/set_parameters_atomically request.
  static std::optional<rcl_interfaces::msg::SetParametersResult> SendAtomically(
      const std::string& target, const std::vector<std::pair<std::string, std::string>>& values) {
    using rcl_interfaces::srv::SetParametersAtomically;
    const auto timeout = std::chrono::seconds(3);
    auto client =
        node_->create_client<SetParametersAtomically>("/" + target + "/set_parameters_atomically");
    if (!client->wait_for_service(timeout)) return std::nullopt;
    auto request = std::make_shared<SetParametersAtomically::Request>();
    for (const auto& [name, value] : values) {
      rcl_interfaces::msg::Parameter p;
      p.name = name;
      p.value.type = rcl_interfaces::msg::ParameterType::PARAMETER_STRING;
      p.value.string_value = value;
      request->parameters.push_back(p);
    }
    auto future = client->async_send_request(request);
    if (rclcpp::spin_until_future_complete(node_, future, timeout) !=
        rclcpp::FutureReturnCode::SUCCESS) {
      client->remove_pending_request(future);
      return std::nullopt;
    }
    return future.get()->result;
  }

  static rclcpp::Node::SharedPtr node_;
};

rclcpp::Node::SharedPtr Tools::node_;

TEST_F(Tools, ProbeReadsWhatTheCliAndAClientSet) {
  auto target =
      StartTarget({"--name", "probe_target", "--string", "mode=auto", "--int", "count=3"});

  auto got = Probe({"get", "probe_target", "mode", "count"});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out, "mode type=string value=\"auto\"\ncount type=integer value=3\n");

  // The CLI reads VALUE as YAML: single quotes keep a quote, a tab and a trailing blank as
  // a string, byte for byte.
  auto set = Ros2({"param", "set", "/probe_target", "mode", "'a\"b\t '"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "Set parameter successful\n") << set.err;
  EXPECT_EQ(target->ReadLine(milliseconds(3000)),
            "set probe_target.mode type=string value=\"a\\\"b\\t \"");

  // A string for an integer parameter is refused with rclcpp's own reason, word for word.
  const std::string twelve = "12";
  const auto wrong = Send("probe_target", "count", &twelve);
  ASSERT_TRUE(wrong.has_value());
  EXPECT_FALSE(wrong->successful);
  const std::string reason =
      "Wrong parameter type, parameter {count} is of type {integer}, setting it to {string} "
      "is not allowed.";
  EXPECT_EQ(wrong->reason, reason);
  EXPECT_EQ(target->ReadLine(milliseconds(3000)), "refused probe_target.count reason=" + reason);

  // No value withdraws a parameter; a declared one refuses that.
  const auto withdrawn = Send("probe_target", "mode", nullptr);
  ASSERT_TRUE(withdrawn.has_value());
  EXPECT_FALSE(withdrawn->successful);
  EXPECT_EQ(target->ReadLine(milliseconds(3000)),
            "refused probe_target.mode reason=" + kCannotUndeclare);

  const std::string x = "x";
  const auto ghost = Send("probe_target", "ghost", &x);
  ASSERT_TRUE(ghost.has_value());
  EXPECT_FALSE(ghost->successful);
  EXPECT_EQ(target->ReadLine(milliseconds(3000)),
            "refused probe_target.ghost reason=parameter 'ghost' cannot be set because it was "
            "not declared");

  // set_parameters_atomically: all or none. The refused count keeps mode from changing too
  // (see `after` below), and each parameter's line carries the one reason.
  const auto atomic = SendAtomically("probe_target", {{"mode", "both"}, {"count", "7"}});
  ASSERT_TRUE(atomic.has_value());
  EXPECT_FALSE(atomic->successful);
  EXPECT_EQ(atomic->reason, reason);
  EXPECT_EQ(target->ReadLine(milliseconds(3000)), "refused probe_target.mode reason=" + reason);
  EXPECT_EQ(target->ReadLine(milliseconds(3000)), "refused probe_target.count reason=" + reason);

  // describe_parameters, as the CLI reads it.
  auto described = Ros2({"param", "describe", "/probe_target", "count"});
  EXPECT_EQ(described.status, 0) << described.err;
  EXPECT_NE(described.out.find("Type: integer"), std::string::npos) << described.out;

  // One undeclared name empties the whole answer, as with rclcpp.
  auto partly = Probe({"get", "probe_target", "mode", "ghost"});
  EXPECT_EQ(partly.status, 3);
  EXPECT_NE(partly.err.find("not declared"), std::string::npos) << partly.err;

  auto after = Probe({"get", "probe_target", "mode", "count"});
  EXPECT_EQ(after.out, "mode type=string value=\"a\\\"b\\t \"\ncount type=integer value=3\n");

  target->Signal(SIGTERM);
  EXPECT_EQ(target->Wait(milliseconds(5000)), 0);
}

TEST_F(Tools, TargetDeclaresParametersOfEveryType) {
  auto target = StartTarget({"--name", "typed_target", "--double", "d=1.5", "--bool", "b=true",
                             "--int-array", "ia=[1, -2]", "--double-array", "da=[0.5]",
                             "--bool-array", "ba=[true,false]", "--string-array", "sa=[x, y z]",
                             "--byte-array", "ya=[0, 255]", "--int-array", "none=[]"});
  auto got = Probe({"get", "typed_target", "d", "b", "ia", "da", "ba", "sa", "ya", "none"});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out,
            "d type=double value=1.500000\n"
            "b type=bool value=true\n"
            "ia type=integer_array value=[1, -2]\n"
            "da type=double_array value=[0.5]\n"
            "ba type=bool_array value=[true, false]\n"
            "sa type=string_array value=[\"x\", \"y z\"]\n"
            "ya type=byte_array value=[0, 0xff]\n"
            "none type=integer_array value=[]\n");
  target->Signal(SIGTERM);
  EXPECT_EQ(target->Wait(milliseconds(5000)), 0);

  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--double", "d=fast"},
                                              {"--bool", "b=maybe"},
                                              {"--int-array", "a=1,2"},
                                              {"--byte-array", "a=[256]"},
                                              {"--bool-array", "a=[1]"}}) {
    Process p({kBin + "/param_target", "--name", "n", bad[0], bad[1]});
    EXPECT_EQ(p.Wait(milliseconds(5000)), 2) << bad[1];
    EXPECT_NE(p.StderrText().find("is not"), std::string::npos) << bad[1];
  }
}

// Defaults are read by config_center's own reader of item texts, so a target declares what
// the node would send it: YAML's integers, booleans and sequences; strings as they are.
TEST_F(Tools, TargetReadsDefaultsAsTheNodeReadsItemTexts) {
  auto target =
      StartTarget({"--name", "yaml_target", "--int", "hex=0x1A", "--bool", "on=yes", "--double",
                   "e=1e3", "--string", "s=[1, 2]", "--string-array", "q=['b, c', d]"});
  auto got = Probe({"get", "yaml_target", "hex", "on", "e", "s", "q"});
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out,
            "hex type=integer value=26\n"
            "on type=bool value=true\n"
            "e type=double value=1000.000000\n"
            "s type=string value=\"[1, 2]\"\n"
            "q type=string_array value=[\"b, c\", \"d\"]\n");
  target->Signal(SIGTERM);
  EXPECT_EQ(target->Wait(milliseconds(5000)), 0);

  // What the node would not send as an integer is no integer default either.
  for (const char* bad : {"1e3", "'5'", "[5]"}) {
    Process p({kBin + "/param_target", "--name", "n", "--int", std::string("i=") + bad});
    EXPECT_EQ(p.Wait(milliseconds(5000)), 2) << bad;
    EXPECT_NE(p.StderrText().find("is not an integer"), std::string::npos) << bad;
  }
}

TEST_F(Tools, UndeclaredParametersInANamespace) {
  auto target = StartTarget({"--name", "loose", "--namespace", "/arm", "--allow-undeclared"});
  const std::string value = "1.5";
  const auto set = Send("arm/loose", "speed.max", &value);
  ASSERT_TRUE(set.has_value());
  EXPECT_TRUE(set->successful) << set->reason;
  EXPECT_EQ(target->ReadLine(milliseconds(3000)),
            "set arm/loose.speed.max type=string value=\"1.5\"");
  EXPECT_EQ(Probe({"get", "arm/loose", "speed.max", "other"}).out,
            "speed.max type=string value=\"1.5\"\nother type=not set value=not set\n");

  // ros2 param delete sends the parameter with no value, as config_center withdraws one.
  auto del = Ros2({"param", "delete", "/arm/loose", "speed.max"});
  EXPECT_EQ(del.status, 0) << del.err;
  EXPECT_EQ(del.out, "Deleted parameter successfully\n") << del.err;
  EXPECT_EQ(target->ReadLine(milliseconds(3000)), "unset arm/loose.speed.max");

  target->Signal(SIGINT);
  EXPECT_EQ(target->Wait(milliseconds(5000)), 0);
}

TEST_F(Tools, ManyNodesInOneProcessReportRoundsOfSets) {
  // Three nodes on one executor, as a component container holds them; a report after every
  // two sets accepted over all of them, refusals not counted.
  auto target = StartTarget(
      {"--name", "host", "--nodes", "3", "--string", "p=x", "--quiet", "--report-every", "2"});
  const std::string one = "1";
  timespec before{};
  ::clock_gettime(CLOCK_MONOTONIC, &before);
  const int64_t before_ns = int64_t{before.tv_sec} * 1000000000 + before.tv_nsec;
  ASSERT_TRUE(Send("host_0", "p", &one).has_value());
  const auto refused = Send("host_1", "undeclared", &one);
  ASSERT_TRUE(refused.has_value());
  EXPECT_FALSE(refused->successful);
  ASSERT_TRUE(Send("host_2", "p", &one).has_value());
  const std::string line = target->ReadLine(milliseconds(3000));
  ASSERT_EQ(line.rfind("sets 2 at_ns=", 0), 0u) << line;
  const int64_t at_ns = std::stoll(line.substr(13));
  timespec after{};
  ::clock_gettime(CLOCK_MONOTONIC, &after);
  EXPECT_GE(at_ns, before_ns);
  EXPECT_LE(at_ns, int64_t{after.tv_sec} * 1000000000 + after.tv_nsec);
  // No node beyond the count, and no report for a third set until a fourth.
  EXPECT_FALSE(Send("host_3", "p", &one, std::chrono::milliseconds(300)).has_value());
  ASSERT_TRUE(Send("host_1", "p", &one).has_value());
  bool timed_out = false;
  target->ReadLine(milliseconds(300), &timed_out);
  EXPECT_TRUE(timed_out);

  target->Signal(SIGINT);
  EXPECT_EQ(target->Wait(milliseconds(5000)), 0);
}

TEST_F(Tools, SlowTargetAndMissingServices) {
  auto target = StartTarget({"--name", "slow", "--string", "p=x", "--delay-ms", "600"});

  // The sender gives up before the target answers; the target applies the set after its
  // delay all the same.
  const std::string late = "late";
  const auto sent = Clock::now();
  EXPECT_FALSE(Send("slow", "p", &late, std::chrono::milliseconds(300)).has_value());
  EXPECT_EQ(target->ReadLine(milliseconds(3000)), "set slow.p type=string value=\"late\"");
  EXPECT_GE(Clock::now() - sent, milliseconds(600));

  // Nobody offers these: non-zero, within about the timeout.
  auto none = Probe({"operate", "--timeout", "0.3"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("/config_operate is not available"), std::string::npos) << none.err;
  EXPECT_LT(none.seconds, 3.0);
  EXPECT_EQ(Probe({"get", "nobody", "x", "--timeout", "0.3"}).status, 1);
}

TEST_F(Tools, OperateAgainstAServer) {
  // config_center itself needs the database; a server of the same service stands in. Its
  // third and later answers take 600 ms.
  int calls = 0;
  auto service = node_->create_service<velgar_protocol::srv::ConfigOperate>(
      "config_operate",
      [&calls](const std::shared_ptr<velgar_protocol::srv::ConfigOperate::Request>,
               std::shared_ptr<velgar_protocol::srv::ConfigOperate::Response> response) {
        ++calls;
        if (calls >= 3) std::this_thread::sleep_for(milliseconds(600));
        response->success = calls != 2;
      });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  std::thread spinner([&executor] { executor.spin(); });

  auto first = Probe({"operate"});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, "config_operate: success=true\n");
  auto second = Probe({"operate"});
  EXPECT_EQ(second.status, 3);
  EXPECT_EQ(second.out, "config_operate: success=false\n");

  // The timeout covers the answer too: given up on, then waited for.
  auto impatient = Probe({"operate", "--timeout", "0.3"});
  EXPECT_EQ(impatient.status, 1);
  EXPECT_NE(impatient.err.find("no answer from /config_operate within 0.3 s"), std::string::npos)
      << impatient.err;
  auto patient = Probe({"operate", "--timeout", "3"});
  EXPECT_EQ(patient.status, 0) << patient.err;
  EXPECT_GE(patient.seconds, 0.6);

  executor.cancel();
  spinner.join();
  executor.remove_node(node_);
}

TEST_F(Tools, UsageErrors) {
  EXPECT_EQ(Probe({}).status, 2);
  EXPECT_EQ(Probe({"frobnicate"}).status, 2);
  // Setting and deleting are the ros2 CLI's job now; the probe says which command to use.
  auto set = Probe({"set", "node", "p", "v"});
  EXPECT_EQ(set.status, 2);
  EXPECT_NE(set.err.find("use ros2 param set"), std::string::npos) << set.err;
  EXPECT_NE(Probe({"unset", "node", "p"}).err.find("use ros2 param delete"), std::string::npos);
  EXPECT_EQ(Probe({"get", "node"}).status, 2);
  auto help = Probe({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: config_probe"), std::string::npos);
  // An invalid node name makes an invalid service name: refused by the client layer.
  auto invalid = Probe({"get", "bad name!", "p", "--timeout", "0.2"});
  EXPECT_EQ(invalid.status, 2);

  Process no_name({kBin + "/param_target", "--int", "count=3"});
  EXPECT_EQ(no_name.Wait(milliseconds(5000)), 2);
  Process bad_int({kBin + "/param_target", "--name", "n", "--int", "count=abc"});
  EXPECT_EQ(bad_int.Wait(milliseconds(5000)), 2);
  EXPECT_NE(bad_int.StderrText().find("'abc' is not an integer"), std::string::npos);
}

}  // namespace
