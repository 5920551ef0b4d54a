#include "bench_node/filesystem_costs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_node/bench_clock.hpp"
#include "support/config_files.hpp"
#include "support/percentile.hpp"

namespace config_center::bench {

double MeasureCreates(int count) {
  const std::string dir = std::string(test::kConfigs) + ".bench_creates/";
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
  const std::string dir = test::kConfigs;
  std::vector<double> costs;
  std::vector<double> file_costs;
  std::vector<double> dir_costs;
  const std::string contents(1024, 'f');
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
  return {test::Percentile(costs, 50), test::Percentile(file_costs, 50),
          test::Percentile(dir_costs, 50)};
}

}  // namespace config_center::bench
