#ifndef CONFIG_CENTER_TEST_SUPPORT_NODE_HARNESS_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_NODE_HARNESS_HPP_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process.hpp"

namespace config_center::test {

using namespace std::chrono_literals;

// The node's log of today, read from where a test started, so each test sees its own lines.
class LogTail {
public:
  LogTail();
  // Waits until the log from the cursor on holds `text`; moves the cursor past it.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout);
  // The log written since this tail was made.
  std::string Since() const;
  size_t Count(const std::string& text) const { return CountIn(Since(), text); }
  static size_t CountIn(const std::string& haystack, const std::string& text);
  static std::string Path();

private:
  size_t start_;
  size_t cursor_ = 0;
};

// The node as a user starts it: `config_center [ROS arguments]`, found on PATH.
std::unique_ptr<Process> StartConfigCenter(const std::vector<std::string>& ros_args = {});

// A target node (param_target) with the given arguments; waits until it serves.
std::unique_ptr<Process> StartTarget(const std::vector<std::string>& args);

// Whole contents of a file, or nothing when it does not exist.
bool ReadFile(const std::string& path, std::string* contents);
bool FileExists(const std::string& path);
// Polls until `path` exists with `contents` (or, with `contents` null, until it is gone).
bool WaitForFile(const std::string& path, const std::string* contents,
                 std::chrono::milliseconds timeout);
// A fresh robot: no config files, and no record of what a node distributed before.
void RemoveConfigs();
// Where the node keeps its record of what it distributed.
std::string RecordPath();

// The value at fraction `p` (0 to 1) of `values` once sorted, by nearest rank; values not empty.
double Percentile(std::vector<double> values, double p);

constexpr char kConfigs[] = "/opt/velgar/configs/";

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_NODE_HARNESS_HPP_
