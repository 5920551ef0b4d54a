#include "bench_startup/set_aside.hpp"

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace config_center::bench {

namespace {

// Beside the configs directory, on the filesystem that holds it.
constexpr char kAside[] = "/opt/velgar/.bench_set_aside/";

int set_aside = 0;  // names within kAside

}  // namespace

void SetAside(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return;
  std::filesystem::create_directories(kAside);
  const std::string to = kAside + std::to_string(set_aside++);
  std::filesystem::rename(path, to, error);
  if (error) throw std::runtime_error("cannot move " + path + " aside: " + error.message());
}

void RemoveSetAside() {
  std::error_code error;
  std::filesystem::remove_all(kAside, error);
  if (error)
    std::fprintf(stderr, "bench_startup: cannot remove %s: %s\n", kAside, error.message().c_str());
}

}  // namespace config_center::bench
