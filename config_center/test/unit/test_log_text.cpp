// How a text from outside the program stands in a log line: control characters escaped,
// valid UTF-8 kept, invalid bytes shown, and the text cut at its bound with its length.
#include <gtest/gtest.h>

#include <string>

#include "logging/log_text.hpp"

namespace config_center {
namespace {

TEST(LogTextTest, ControlCharactersAreEscapedAndPrintableTextIsKept) {
  EXPECT_EQ(LogText("arm_controller speed=1.5 \"quoted\" {} %s"),
            "arm_controller speed=1.5 \"quoted\" {} %s");
  // A forged record: the line break would start a line that looks like the node's own.
  EXPECT_EQ(LogText("1\n[2026-01-01 00:00:00.000] [thread 1] [config_center] [error] x"),
            "1\\n[2026-01-01 00:00:00.000] [thread 1] [config_center] [error] x");
  EXPECT_EQ(LogText("a\r\nb\tc"), "a\\r\\nb\\tc");
  // ANSI: colour, cursor up and erase line, a terminal title (OSC ending in BEL).
  EXPECT_EQ(LogText("\x1b[31mred\x1b[0m\x1b[1A\x1b[2K\x1b]0;title\x07"),
            "\\x1b[31mred\\x1b[0m\\x1b[1A\\x1b[2K\\x1b]0;title\\x07");
  EXPECT_EQ(LogText(std::string("nul\0byte", 8)), "nul\\x00byte");
  EXPECT_EQ(LogText("\x01\x1f\x7f"), "\\x01\\x1f\\x7f");
  // The backslash is doubled, so that "\n" in the log is always a line break of the text.
  EXPECT_EQ(LogText("C:\\maps\\new"), "C:\\\\maps\\\\new");
  EXPECT_EQ(LogText(""), "");
  // The fast path of the log calls: only texts LogText keeps as they are, and among ASCII
  // texts every such one (UTF-8 takes the full path, which keeps it too).
  EXPECT_TRUE(IsPlainLogText("arm speed=1.5 {} \"q\" ~"));
  EXPECT_TRUE(IsPlainLogText(""));
  for (const char* text : {"a\nb", "C:\\x", "\x7f", "tab\there", "Größe"}) {
    EXPECT_FALSE(IsPlainLogText(text)) << text;
  }
  EXPECT_FALSE(IsPlainLogText(std::string(kLogTextBound + 1, 'v')));
  EXPECT_TRUE(IsPlainLogText(std::string(kLogTextBound, 'v')));
}

TEST(LogTextTest, Utf8IsKeptAndWhatControlsItsDisplayIsShown) {
  EXPECT_EQ(LogText("Größe 速度 🤖"), "Größe 速度 🤖");
  // C1 controls in UTF-8: U+009B is an escape sequence's introducer on many terminals.
  EXPECT_EQ(LogText("a\xc2\x9b"
                    "31mb\xc2\x85"),
            "a\\u009b31mb\\u0085");
  // Line and paragraph separators, a right-to-left override and an isolate.
  EXPECT_EQ(LogText("x\xe2\x80\xa8y\xe2\x80\xa9z\xe2\x80\xaew\xe2\x81\xa6v"),
            "x\\u2028y\\u2029z\\u202ew\\u2066v");
  // Bytes that are no valid UTF-8 stand for themselves: a stray continuation byte, an 8-bit
  // CSI, an overlong '/', a surrogate, a sequence cut short, a lead byte beyond U+10FFFF.
  EXPECT_EQ(LogText("\x80"), "\\x80");
  EXPECT_EQ(LogText("\x9b"
                    "31m"),
            "\\x9b31m");
  EXPECT_EQ(LogText("\xc0\xaf"), "\\xc0\\xaf");
  EXPECT_EQ(LogText("\xed\xa0\x80"), "\\xed\\xa0\\x80");
  EXPECT_EQ(LogText("\xe6\x97"), "\\xe6\\x97");
  EXPECT_EQ(LogText("\xf5\x80\x80\x80"), "\\xf5\\x80\\x80\\x80");
  // An invalid byte does not swallow a valid character after it.
  EXPECT_EQ(LogText("\xe6\xe9\x80\x9f"), "\\xe6速");
}

TEST(LogTextTest, LongTextIsCutAtItsBoundWithItsLengthNoted) {
  const std::string long_value(5000, 'v');
  const std::string logged = LogText(long_value);
  EXPECT_EQ(logged, std::string(kLogTextBound, 'v') + "... [5000 bytes in all]");
  // At the bound exactly, nothing is cut.
  EXPECT_EQ(LogText(std::string(kLogTextBound, 'v')), std::string(kLogTextBound, 'v'));
  // The bound counts the text's bytes, not the escapes; a character is never split.
  EXPECT_EQ(LogText("\n\n\n\n\n", 3), "\\n\\n\\n... [5 bytes in all]");
  EXPECT_EQ(LogText("ab速度", 4), "ab... [8 bytes in all]");
  EXPECT_EQ(LogText("ab速度", 5), "ab速... [8 bytes in all]");
  // However long and whatever it holds, the text makes one bounded line.
  const std::string hostile = std::string(100000, '\n') + "\x1b[2J";
  const std::string line = LogText(hostile);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\x1b'), std::string::npos);
  EXPECT_LE(line.size(), 2 * kLogTextBound + 32);
  EXPECT_NE(line.find("[100004 bytes in all]"), std::string::npos) << line.substr(line.size() - 40);
}

}  // namespace
}  // namespace config_center
