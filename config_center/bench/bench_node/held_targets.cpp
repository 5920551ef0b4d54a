#include "bench_node/held_targets.hpp"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "bench_node/node_log.hpp"
#include "support/config_files.hpp"
#include "support/node_processes.hpp"
#include "support/test_db.hpp"

namespace config_center::bench {

namespace {

using namespace std::chrono_literals;

constexpr char kParam[] = "held";
constexpr char kValue[] = "held value";

}  // namespace

HeldTargets::HeldTargets(const std::string& tag, test::LogTail& log, test::Process& node)
    : node_name_("bench_absent_" + tag),
      blocker_("bench_blocked_" + tag),
      file_name_(blocker_ + "/held.yaml") {
  std::ofstream(std::string(test::kConfigs) + blocker_) << "not a directory\n";
  {
    test::AdminDb db;
    param_id_ = db.InsertItem("global_config", kParam, kValue, node_name_, 1);
    file_id_ = db.InsertItem("global_config", file_name_, kValue, "", 2);
  }
  ExpectLogLine(log, node, "Holding back node " + node_name_);
  ExpectLogLine(log, node, "Holding back file " + file_name_);
}

void HeldTargets::Release(test::LogTail& log, test::Process& node) {
  const std::string path = std::string(test::kConfigs) + file_name_;
  std::filesystem::remove(std::string(test::kConfigs) + blocker_);
  auto absent = test::StartTarget({"--name", node_name_, "--allow-undeclared"});
  ExpectLogLine(log, node, "Released node " + node_name_);
  ExpectLogLine(log, node, "Released file " + file_name_);
  const std::string value = kValue;
  if (!absent->WaitFor(node_name_ + "." + kParam + " type=string value=\"" + value + "\"", 5s) ||
      !test::WaitForFile(path, &value, 5s)) {
    throw std::runtime_error("released targets did not get their items");
  }
  {
    test::AdminDb db;
    db.Exec("DELETE FROM global_config WHERE id IN (" + std::to_string(param_id_) + ", " +
            std::to_string(file_id_) + ")");
  }
  if (!absent->WaitFor("unset " + node_name_ + "." + kParam, 5s) ||
      !test::WaitForFile(path, nullptr, 5s)) {
    throw std::runtime_error("deleted items of released targets were not withdrawn");
  }
  absent->Signal(SIGINT);
  absent->Wait(5s);
}

}  // namespace config_center::bench
