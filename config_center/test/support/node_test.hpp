#ifndef CONFIG_CENTER_TEST_SUPPORT_NODE_TEST_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_NODE_TEST_HPP_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/config_files.hpp"
#include "support/log_tail.hpp"
#include "support/node_processes.hpp"
#include "support/process.hpp"
#include "support/test_db.hpp"

namespace config_center::test {

using namespace std::chrono_literals;

// The base of the tests that run the installed node as a process: empty item tables and
// change log, an empty configs directory, and the node's log from the test's start on.
class NodeTest : public ::testing::Test {
protected:
  static constexpr std::chrono::seconds kStartup{15};

  void SetUp() override;
  // Empties the item tables and the change log. A test that changes the tables' shape loads
  // the schema afresh instead.
  virtual void PrepareTables();

  // Starts the node and waits until start-up has finished and polling runs.
  std::unique_ptr<Process> StartReady(const std::vector<std::string>& ros_args = {});

  // Stops a node with SIGTERM and expects status 0; one that does not stop shows its stacks.
  void Stop(Process& process);

  static std::string Config(const std::string& name) { return std::string(kConfigs) + name; }

  std::unique_ptr<AdminDb> db_;
  LogTail log_;
};

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_NODE_TEST_HPP_
