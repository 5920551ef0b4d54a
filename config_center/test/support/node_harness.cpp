#include "node_harness.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace config_center::test {

namespace {

size_t FileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
}

std::string ReadFrom(const std::string& path, size_t offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  in.seekg(static_cast<std::streamoff>(offset));
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

std::string LogTail::Path() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  return std::string("/opt/velgar/logs/config_center/config_center_log_file_") + date;
}

LogTail::LogTail() : start_(FileSize(Path())) {}

std::string LogTail::Since() const { return ReadFrom(Path(), start_); }

size_t LogTail::CountIn(const std::string& haystack, const std::string& text) {
  size_t count = 0;
  for (size_t at = haystack.find(text); at != std::string::npos;
       at = haystack.find(text, at + text.size())) {
    ++count;
  }
  return count;
}

bool LogTail::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string log = Since();
    const size_t found = log.find(text, cursor_);
    if (found != std::string::npos) {
      cursor_ = found + text.size();
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
}

std::unique_ptr<Process> StartConfigCenter(const std::vector<std::string>& ros_args) {
  std::vector<std::string> argv{"config_center"};
  if (!ros_args.empty()) {
    argv.emplace_back("--ros-args");
    argv.insert(argv.end(), ros_args.begin(), ros_args.end());
  }
  return std::make_unique<Process>(argv);
}

std::unique_ptr<Process> StartTarget(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"param_target"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto target = std::make_unique<Process>(argv);
  if (!target->WaitFor("ready", 10s)) {
    throw std::runtime_error("param_target did not get ready: " + target->Output());
  }
  return target;
}

bool ReadFile(const std::string& path, std::string* contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *contents = out.str();
  return true;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool WaitForFile(const std::string& path, const std::string* contents,
                 std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::string now;
    const bool exists = ReadFile(path, &now);
    if (contents == nullptr ? !exists : (exists && now == *contents)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void RemoveConfigs() {
  for (const auto& entry : std::filesystem::directory_iterator(kConfigs)) {
    std::filesystem::remove_all(entry.path());
  }
  // What an earlier test's node distributed is not this test's to withdraw.
  std::filesystem::remove(RecordPath());
}

std::string RecordPath() {
  const char* state = std::getenv("STATE_DIRECTORY");
  return std::string(state != nullptr ? state : "/var/lib/config_center") + "/distributed";
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(std::lround(p * static_cast<double>(values.size() - 1)));
  return values[index];
}

}  // namespace config_center::test
