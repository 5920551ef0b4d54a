// The daily log file on a real directory, the start-up failure message, and the records
// written while no logger exists.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "logging/log_text.hpp"
#include "logging/logging.hpp"
#include "support/config_files.hpp"
#include "support/output_capture.hpp"

namespace config_center {
namespace {

// The file's contents, or nothing when it cannot be read.
std::string Contents(const std::string& path) {
  std::string text;
  test::ReadFile(path, &text);
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

class LoggingTest : public ::testing::Test {
protected:
  void SetUp() override {
    GetLogger().reset();
    spdlog::drop_all();
    char dir_template[] = "/tmp/config_center_logging.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    dir_ = dir_template;
  }
  void TearDown() override {
    GetLogger().reset();
    spdlog::drop_all();
    SetLogDivert(nullptr);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string dir_;
};

TEST_F(LoggingTest, DailyFileGetsEachRecordAtOnceInThePattern) {
  // Missing directories are created, and an existing file of the day is appended to.
  const std::string base = dir_ + "/logs/config_center/config_center_log_file";
  const std::string file = base + "_" + Today();
  ASSERT_EQ(std::system(("mkdir -p '" + dir_ + "/logs/config_center'").c_str()), 0);
  std::ofstream(file) << "earlier line\n";

  InitLogger(base, "config_center");
  ASSERT_TRUE(GetLogger());

  const int debug_line = __LINE__ + 1;
  LOG_DEBUG("pushed {} to {}", 42, "arm");
  // No flush by the test: the record must be on disk when the call returns.
  const std::vector<std::string> lines = Lines(Contents(file));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier line");
  const std::regex pattern(
      R"(\[(\d{4}-\d\d-\d\d) \d\d:\d\d:\d\d\.\d{3}\] \[thread (\d+)\] \[config_center\] )"
      R"(\[debug\] \[(.*):(\d+)\] pushed 42 to arm)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[1], match, pattern)) << lines[1];
  EXPECT_EQ(match[1], Today());
  EXPECT_EQ(match[2], std::to_string(syscall(SYS_gettid)));
  // The file's name only: the build's directories stay out of the records.
  EXPECT_EQ(match[3].str(), "test_logging.cpp");
  EXPECT_EQ(match[4], std::to_string(debug_line));

  // A plain message is not a format string.
  LOG_ERROR(std::string("no {} here"));
  const std::vector<std::string> after = Lines(Contents(file));
  ASSERT_EQ(after.size(), 3u);
  EXPECT_NE(after[2].find("] [config_center] [error] ["), std::string::npos) << after[2];
  EXPECT_NE(after[2].find("] no {} here"), std::string::npos) << after[2];
}

TEST_F(LoggingTest, FailedSetUpIsReportedOnStdoutAndRecordsGoToStderr) {
  // A directory cannot be made below a plain file, even by root.
  std::ofstream(dir_ + "/plain") << "x";
  test::OutputCapture out(STDOUT_FILENO);
  InitLogger(dir_ + "/plain/config_center/config_center_log_file", "config_center");
  const std::string printed = out.Take();
  EXPECT_EQ(printed.rfind("log initialization failed[", 0), 0u) << printed;
  EXPECT_GT(printed.size(), std::string("log initialization failed[]\n").size()) << printed;
  EXPECT_EQ(printed.substr(printed.size() - 2), "]\n");
  EXPECT_FALSE(GetLogger());

  test::OutputCapture err(STDERR_FILENO);
  const int error_line = __LINE__ + 1;
  LOG_ERROR("Connect sql failed: {}", "server gone");
  const std::string diverted = err.Take();
  EXPECT_NE(diverted.find("error"), std::string::npos) << diverted;
  EXPECT_NE(diverted.find("Connect sql failed: server gone"), std::string::npos) << diverted;
  EXPECT_NE(diverted.find("[test_logging.cpp:" + std::to_string(error_line) + "]"),
            std::string::npos)
      << diverted;
}

TEST_F(LoggingTest, OutsideTextsInArgumentsAreEscapedSoEachRecordIsOneLine) {
  const std::string base = dir_ + "/log";
  InitLogger(base, "config_center");
  ASSERT_TRUE(GetLogger());
  const std::string forged = "[2026-01-01 00:00:00.000] [thread 1] [config_center] [error] ";
  // What the node logs of an item, a file and a target, each holding a forged record or a
  // terminal escape; the format texts are the node's own and stay as they are.
  const std::string value = "1\n" + forged + "[main.cpp:1] database lost";
  const std::string file_name = "maps/\x1b[2J\x1b[31mfloor.yaml\r";
  const char* node_name = "arm\n\x1b]0;owned\x07";
  const std::string_view reason =
      "bad value\n\x1b[1A\x1b[2K"
      "ok";
  LOG_DEBUG("Set parameter {} = {} on {}", "speed", value, node_name);
  LOG_ERROR("Refused config file name \"{}\": {}", file_name, std::string("no such dir\n"));
  LOG_ERROR("{} refused the change: {} (after {} ms)", node_name, reason, 12);
  // A plain message made at run time is an outside text too; a literal one is kept.
  LOG_ERROR(std::string("MySQL server has gone away\n") + forged);
  LOG_DEBUG("Config center ready");
  // Format options still apply, to the escaped text; a single character is a text too.
  LOG_DEBUG("[{:>8}] [{:<6}] [{}]", "a\nb", "c", '\x1b');

  const std::vector<std::string> lines = Lines(Contents(base + "_" + Today()));
  ASSERT_EQ(lines.size(), 6u) << Contents(base + "_" + Today());
  const std::regex record(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[thread \d+\] )"
                          R"(\[config_center\] \[(debug|error)\] \[test_logging\.cpp:\d+\] (.*))");
  std::vector<std::string> messages;
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, record)) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    messages.push_back(match[2]);
  }
  EXPECT_EQ(messages[0], "Set parameter speed = 1\\n" + forged +
                             "[main.cpp:1] database lost on "
                             "arm\\n\\x1b]0;owned\\x07");
  EXPECT_EQ(messages[1],
            "Refused config file name \"maps/\\x1b[2J\\x1b[31mfloor.yaml\\r\": no such dir\\n");
  EXPECT_EQ(messages[2],
            "arm\\n\\x1b]0;owned\\x07 refused the change: bad value\\n\\x1b[1A\\x1b[2Kok "
            "(after 12 ms)");
  EXPECT_EQ(messages[3], "MySQL server has gone away\\n" + forged);
  EXPECT_EQ(messages[4], "Config center ready");
  EXPECT_EQ(messages[5], "[    a\\nb] [c     ] [\\x1b]");
  // The last error, as /diagnostics shows it, is the escaped record.
  EXPECT_EQ(GetLoggedErrors().last, messages[3]);

  // A value of many MiB is cut: the record stays short and says how long the value was.
  LOG_DEBUG("Set parameter {} = {}", "map", std::string(8 << 20, 'x'));
  const std::vector<std::string> after = Lines(Contents(base + "_" + Today()));
  ASSERT_EQ(after.size(), 7u);
  EXPECT_LT(after[6].size(), kLogTextBound + 200);
  EXPECT_NE(after[6].find("... [8388608 bytes in all]"), std::string::npos);
}

TEST_F(LoggingTest, StartupFailureOnStdoutIsOneLine) {
  // The library's text names the path it could not open: a path holding a line break and
  // an escape sequence still makes one line, escaped.
  std::ofstream(dir_ + "/plain") << "x";
  test::OutputCapture out(STDOUT_FILENO);
  InitLogger(dir_ + "/plain/dir\nwith\x1b[31m/config_center_log_file", "config_center");
  const std::string printed = out.Take();
  EXPECT_EQ(printed.rfind("log initialization failed[", 0), 0u) << printed;
  EXPECT_EQ(printed.find('\n'), printed.size() - 1) << printed;
  EXPECT_EQ(printed.find('\x1b'), std::string::npos) << printed;
  EXPECT_NE(printed.find("dir\\nwith\\x1b[31m"), std::string::npos) << printed;
}

// Worked out while compiling: these fail the build, not the run.
static_assert(std::string_view(detail::FileName("/build/x/config_center/src/change_polling.cpp")) ==
              "change_polling.cpp");
static_assert(std::string_view(detail::FileName("change_polling.cpp")) == "change_polling.cpp");
static_assert(std::string_view(detail::FileName("src/")).empty());
static_assert(std::string_view(detail::FileName("")).empty());

std::vector<std::string> diverted_records;
std::vector<std::string> diverted_files;
void Divert(const spdlog::source_loc& where, spdlog::level::level_enum level,
            std::string_view text) {
  diverted_records.push_back(std::string(spdlog::level::to_string_view(level).data()) + " " +
                             std::string(text));
  diverted_files.emplace_back(where.filename);
}

TEST_F(LoggingTest, DivertTakesRecordsInsteadOfTheFile) {
  const std::string base = dir_ + "/log";
  InitLogger(base, "config_center");
  diverted_records.clear();
  diverted_files.clear();
  SetLogDivert(&Divert);
  LOG_ERROR("held {}", 1);
  SetLogDivert(nullptr);
  LOG_DEBUG("written");
  EXPECT_EQ(diverted_records, std::vector<std::string>{"error held 1"});
  EXPECT_EQ(diverted_files, std::vector<std::string>{"test_logging.cpp"});
  const std::string written = Contents(base + "_" + Today());
  EXPECT_EQ(written.find("held"), std::string::npos);
  EXPECT_NE(written.find("written"), std::string::npos);
}

}  // namespace
}  // namespace config_center
