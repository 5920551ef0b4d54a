#include "support/node_test.hpp"

#include <signal.h>

namespace config_center::test {

void NodeTest::SetUp() {
  db_ = std::make_unique<AdminDb>();
  PrepareTables();
  RemoveConfigs();
}

void NodeTest::PrepareTables() { db_->ResetTables(); }

std::unique_ptr<Process> NodeTest::StartReady(const std::vector<std::string>& ros_args) {
  auto center = StartConfigCenter(ros_args);
  EXPECT_TRUE(WaitUntilReady(log_, *center, kStartup)) << center->Output();
  return center;
}

void NodeTest::Stop(Process& process) {
  process.Signal(SIGTERM);
  const auto status = process.Wait(5s);
  EXPECT_EQ(status, 0) << process.Output() << (status ? "" : process.Stacks());
}

}  // namespace config_center::test
