// Texts from outside in the running node's log: a value, a file name and a node name from the
// tables, and a target's refusal reason, each holding a forged record (a line break followed
// by what looks like one of the node's own records) and ANSI escape sequences. Each must
// stay inside the one line of the record it belongs to, escaped. The real config_center and
// a param_target that refuses every set with such a reason, over DDS, the isolated MariaDB.
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/node_test.hpp"

namespace config_center::test {
namespace {

// What a reader of the log would take for a record of the node's own.
constexpr char kForged[] = "[2026-01-01 00:00:00.000] [thread 1] [config_center] [error] ";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LogRecordsEndToEnd : public NodeTest {};

TEST_F(LogRecordsEndToEnd, OutsideTextsStayInsideTheirOneLineRecord) {
  const std::string reason = std::string("out of range\n") + kForged +
                             "[param_pusher.cpp:1] arm is on fire\x1b[31m\x1b]0;owned\x07";
  auto arm = StartTarget({"--name", "arm", "--string", "reach=0", "--refuse", reason});
  auto center = StartReady();

  const std::string value = std::string("1\n") + kForged + "[main.cpp:1] database lost\x1b[2J";
  const std::string file_name = "maps/\x1b[31mred\nline.yaml";
  const std::string node_name = std::string("ghost\n") + kForged + "[x.cpp:1] forged node";
  db_->InsertItem("global_config", "reach", value, "arm", 1);
  db_->InsertItem("global_config", file_name, "x", "", 2);
  db_->InsertItem("global_config", "speed", "2", node_name, 1);

  // The refusal as the node logs it: the reason escaped, on the record's own line.
  ASSERT_TRUE(arm->WaitFor("refused arm.reach", 5s)) << arm->Output();
  const std::string refusal = "Node /arm refused parameter reach: out of range\\n" +
                              std::string(kForged) +
                              "[param_pusher.cpp:1] arm is on fire\\x1b[31m\\x1b]0;owned\\x07";
  ASSERT_TRUE(log_.WaitFor(refusal, 5s)) << log_.Since();
  // The node name that makes no service name, passed over with its name escaped (logged
  // before or after the refusal: the cursor of the wait above is past it either way).
  const std::string ghost = "ghost\\n" + std::string(kForged) + "[x.cpp:1] forged node";
  for (int i = 0; i < 100 && log_.Count(ghost) == 0; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(log_.Count(ghost), 2u) << log_.Since();  // the passed-over record names it twice

  const std::string since = log_.Since();
  // The value, as the node logs what it sends.
  EXPECT_NE(since.find("1\\n" + std::string(kForged) + "[main.cpp:1] database lost\\x1b[2J"),
            std::string::npos)
      << since;
  // The file name, wherever the node names it (written, or refused).
  EXPECT_NE(since.find("maps/\\x1b[31mred\\nline.yaml"), std::string::npos) << since;

  // Every line is a record of the node's own, and none carries a control character.
  const std::regex record(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[thread \d+\] )"
                          R"(\[config_center\] \[(debug|error)\] \[[A-Za-z0-9_.]+:\d+\] .*)");
  const std::vector<std::string> lines = Lines(since);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_match(line, record)) << line;
    EXPECT_NE(line.rfind("[2026-01-01 00:00:00.000]", 0), 0u) << line;
    for (const char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      EXPECT_FALSE(byte < 0x20 || byte == 0x7f) << "control byte " << int(byte) << " in " << line;
    }
  }
  Stop(*center);
  Stop(*arm);
}

}  // namespace
}  // namespace config_center::test
