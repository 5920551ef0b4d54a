#include "bench_startup/startup_floor.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_node/bench_clock.hpp"
#include "bench_startup/peers.hpp"
#include "bench_startup/set_aside.hpp"
#include "support/config_files.hpp"
#include "support/node_processes.hpp"

namespace config_center::bench {

namespace {

constexpr char kFloorTarget[] = "startup_floor_target";
constexpr int kRoundTripSamples = 50;

int OpenOrThrow(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  return fd;
}

// The load's files written (not synced) into a hidden tree of the configs filesystem. Then
// flushed: each file and each directory fsync'd, or with `together`, one syncfs and then each
// directory fsync'd. Only the flushing calls are timed (a file is opened again for its fsync:
// 50,000 of them would not stay open at once).
double MeasureFlush(const Load& load, bool together, double* creates_s = nullptr) {
  const std::string root = std::string(test::kConfigs) + ".startup_floor/";
  for (const std::string& dir : LoadDirectories(load))
    std::filesystem::create_directories(root + dir);
  const auto writing = Clock::now();
  for (int i = 0; i < load.files; ++i) {
    const std::string contents = LoadFileContents(i);
    const int fd = OpenOrThrow(root + LoadFileName(load, i), O_WRONLY | O_CREAT | O_TRUNC);
    const bool written =
        ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    ::close(fd);
    if (!written) throw std::runtime_error("cannot write the floor's files");
  }
  if (creates_s != nullptr) *creates_s = Seconds(Clock::now() - writing);
  Clock::duration spent{};
  bool synced = true;
  const auto flush = [&](const std::string& path, int flags) {
    const int fd = OpenOrThrow(path, flags);
    const auto t0 = Clock::now();
    synced = (together ? ::syncfs(fd) : ::fsync(fd)) == 0 && synced;
    spent += Clock::now() - t0;
    ::close(fd);
  };
  if (together) {
    flush(root, O_RDONLY | O_DIRECTORY);
    together = false;  // then the directories, each fsync'd
  } else {
    for (int i = 0; i < load.files; ++i) flush(root + LoadFileName(load, i), O_WRONLY);
  }
  for (const std::string& dir : LoadDirectories(load)) flush(root + dir, O_RDONLY | O_DIRECTORY);
  SetAside(root);  // deleted, its inodes would slow every file created after it
  if (!synced) throw std::runtime_error("flushing failed on the configs filesystem");
  return Seconds(spent);
}

// The load's files replaced durably in one batch, timed whole: each written under a hidden
// name beside its target, one syncfs, each renamed onto its target, each directory fsync'd.
double MeasureReplace(const Load& load) {
  const std::string root = std::string(test::kConfigs) + ".startup_floor/";
  const std::vector<std::string> dirs = LoadDirectories(load);
  for (const std::string& dir : dirs) std::filesystem::create_directories(root + dir);
  const auto temporary = [&](int i) {
    const std::string name = root + LoadFileName(load, i);
    const size_t slash = name.rfind('/');
    return name.substr(0, slash + 1) + ".floor_" + std::to_string(i);
  };
  const auto t0 = Clock::now();
  for (int i = 0; i < load.files; ++i) {
    const std::string contents = LoadFileContents(i);
    const int fd = OpenOrThrow(temporary(i), O_WRONLY | O_CREAT | O_EXCL);
    const bool written =
        ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
    ::close(fd);
    if (!written) throw std::runtime_error("cannot write the floor's files");
  }
  const int root_fd = OpenOrThrow(root, O_RDONLY | O_DIRECTORY);
  bool done = ::syncfs(root_fd) == 0;
  ::close(root_fd);
  for (int i = 0; i < load.files; ++i) {
    done = ::rename(temporary(i).c_str(), (root + LoadFileName(load, i)).c_str()) == 0 && done;
  }
  for (const std::string& dir : dirs) {
    const int fd = OpenOrThrow(root + dir, O_RDONLY | O_DIRECTORY);
    done = ::fsync(fd) == 0 && done;
    ::close(fd);
  }
  const double spent = Seconds(Clock::now() - t0);
  SetAside(root);
  if (!done) throw std::runtime_error("replacing the floor's files failed");
  return spent;
}

}  // namespace

StartupFloor MeasureFloor(const Load& load) {
  StartupFloor floor;
  floor.fsyncs_s = MeasureFlush(load, false, &floor.creates_s);
  floor.syncfs_s = MeasureFlush(load, true);
  floor.replaces_s = MeasureReplace(load);
  if (load.params() > 0) {
    auto target = test::StartTarget({"--name", kFloorTarget, "--allow-undeclared", "--quiet"});
    auto trips = StartRoundTrips(kFloorTarget, load.params_per_node, kRoundTripSamples);
    floor.round_trip_ms = RoundTripMs(*trips);
    target->Signal(SIGINT);
    target->Wait(std::chrono::seconds(5));
  }
  return floor;
}

}  // namespace config_center::bench
