#ifndef CONFIG_CENTER_TEST_SUPPORT_CONFIG_FILES_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_CONFIG_FILES_HPP_

#include <chrono>
#include <string>

namespace config_center::test {

// The node's configs directory (in the isolated environment, a fresh one per run).
constexpr char kConfigs[] = "/opt/velgar/configs/";

// Whole contents of a file; false when it cannot be read (it does not exist).
bool ReadFile(const std::string& path, std::string* contents);
bool FileExists(const std::string& path);

// Waits until `path` exists with `contents` (or, with `contents` null, until it is gone),
// looking again whenever a file of its directory changes. One thread at a time.
bool WaitForFile(const std::string& path, const std::string* contents,
                 std::chrono::milliseconds timeout);

// A fresh robot: an empty configs directory, and no record of what a node distributed
// before (what an earlier test's node wrote is not this test's node to withdraw).
void RemoveConfigs();
// Where the node keeps its record of what it distributed.
std::string RecordPath();

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_CONFIG_FILES_HPP_
