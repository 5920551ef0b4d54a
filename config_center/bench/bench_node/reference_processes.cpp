#include "bench_node/reference_processes.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "store/db_connection.hpp"

namespace config_center::bench {

namespace {

constexpr char kOption[] = "--reference";

const char* Name(Reference which) {
  switch (which) {
    case Reference::kFloorLoop:
      return "floor-loop";
    case Reference::kPollLoop:
      return "poll-loop";
    case Reference::kBareNode:
      return "bare-node";
  }
  return "";
}

void SayReady() {
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
}

[[noreturn]] void FloorLoop() {
  MillisecondTicks ticks;
  SayReady();
  for (;;) ticks.Next();
}

[[noreturn]] void PollLoop() {
  DbConnection db;
  if (!db.Connect()) ::_exit(1);
  MillisecondTicks ticks;
  SayReady();
  for (;;) {
    ticks.Next();
    db.Query<IncrementId>("SELECT MAX(id) FROM config_table_changes",
                          DbConnection::Statement::kKept);
  }
}

// Spins until SIGINT, then returns with the node destroyed.
void BareNode() {
  rclcpp::init(0, nullptr);
  auto node = std::make_shared<rclcpp::Node>("bench_bare_node");
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  SayReady();
  executor.spin();
}

}  // namespace

std::string SelfPath() {
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot read /proc/self/exe");
  return std::string(self, static_cast<size_t>(n));
}

MillisecondTicks::MillisecondTicks() { ::clock_gettime(CLOCK_MONOTONIC, &next_); }

void MillisecondTicks::Next() {
  next_.tv_nsec += 1000000;
  if (next_.tv_nsec >= 1000000000) {
    next_.tv_nsec -= 1000000000;
    ++next_.tv_sec;
  }
  ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next_, nullptr);
}

std::unique_ptr<test::Process> StartReference(Reference which) {
  auto process =
      std::make_unique<test::Process>(std::vector<std::string>{SelfPath(), kOption, Name(which)});
  if (!process->WaitFor("ready\n", std::chrono::seconds(10))) {
    throw std::runtime_error(std::string(Name(which)) + " did not start: " + process->Output());
  }
  return process;
}

void StopReference(std::unique_ptr<test::Process>& process) {
  process->Signal(SIGINT);
  if (!process->Wait(std::chrono::seconds(5))) {
    throw std::runtime_error("a reference process did not stop: " + process->Output());
  }
  process.reset();
}

void RunReferenceIfAsked(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != kOption) return;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // A program started in the background of a script inherits SIGINT ignored; StopReference
  // sends it.
  ::signal(SIGINT, SIG_DFL);
  const std::string name = argv[2];
  if (name == Name(Reference::kFloorLoop)) FloorLoop();
  if (name == Name(Reference::kPollLoop)) PollLoop();
  if (name == Name(Reference::kBareNode)) {
    BareNode();
    // Through exit, not _exit: the context's DDS participant is deleted only then. One that
    // is not stays on its peers' graph until its lease ends, and their reliable writers keep
    // sending heartbeats for it to every node still running.
    std::exit(0);
  }
  std::fprintf(stderr, "no reference process '%s'\n", name.c_str());
  ::_exit(2);
}

}  // namespace config_center::bench
