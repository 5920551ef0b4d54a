// Item texts read as the type their target declared, as `ros2 param set` reads a value.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <rcl_interfaces/msg/parameter_type.hpp>

#include "parameter_text/parameter_text.hpp"

namespace parameter_text {
namespace {

using rcl_interfaces::msg::ParameterType;
using rcl_interfaces::msg::ParameterValue;

ParameterValue Read(uint8_t type, const std::string& text) {
  ParameterValue value;
  EXPECT_TRUE(ParameterValueFromText(type, text, &value))
      << "\"" << text << "\" as " << ParameterTypeName(type);
  EXPECT_EQ(value.type,
            type == ParameterType::PARAMETER_NOT_SET ? ParameterType::PARAMETER_STRING : type);
  return value;
}

bool Fits(uint8_t type, const std::string& text) {
  ParameterValue value;
  value.type = ParameterType::PARAMETER_BYTE_ARRAY;  // must stay as it was on a misfit
  value.byte_array_value = {7};
  const bool fits = ParameterValueFromText(type, text, &value);
  if (!fits) {
    EXPECT_EQ(value.type, ParameterType::PARAMETER_BYTE_ARRAY) << text;
    EXPECT_EQ(value.byte_array_value, std::vector<uint8_t>{7}) << text;
  }
  return fits;
}

TEST(ParamValueText, StringsAndUndeclaredTakeTheTextAsItIs) {
  for (const std::string text : {"5", " 5", "[1, 2]", "yes", "'quoted'", "a: b", "x\ny", "~"}) {
    EXPECT_EQ(Read(ParameterType::PARAMETER_STRING, text).string_value, text);
    EXPECT_EQ(Read(ParameterType::PARAMETER_NOT_SET, text).string_value, text);
  }
}

TEST(ParamValueText, Integers) {
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER, "5").integer_value, 5);
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER, " 5").integer_value, 5);
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER, "-42").integer_value, -42);
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER, "0x1A").integer_value, 26);
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER, "9223372036854775807").integer_value,
            9223372036854775807);
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER, "7 # comment").integer_value, 7);
  for (const std::string text : {"1e3", "5.0", "five", "yes", "9223372036854775808", "'5'", "\"5\"",
                                 "[5]", "a: 5", "~", " ", "5\n---\n6", "[1, 2"}) {
    EXPECT_FALSE(Fits(ParameterType::PARAMETER_INTEGER, text)) << text;
  }
}

TEST(ParamValueText, Doubles) {
  EXPECT_DOUBLE_EQ(Read(ParameterType::PARAMETER_DOUBLE, "2.5").double_value, 2.5);
  EXPECT_DOUBLE_EQ(Read(ParameterType::PARAMETER_DOUBLE, "5").double_value, 5.0);
  EXPECT_DOUBLE_EQ(Read(ParameterType::PARAMETER_DOUBLE, "1e3").double_value, 1000.0);
  EXPECT_DOUBLE_EQ(Read(ParameterType::PARAMETER_DOUBLE, "-0.125").double_value, -0.125);
  EXPECT_TRUE(std::isinf(Read(ParameterType::PARAMETER_DOUBLE, "-.inf").double_value));
  EXPECT_TRUE(std::isnan(Read(ParameterType::PARAMETER_DOUBLE, ".nan").double_value));
  for (const std::string text : {"fast", "0x1A", "1,5", "'2.5'", "[2.5]", "true", ""}) {
    EXPECT_FALSE(Fits(ParameterType::PARAMETER_DOUBLE, text)) << text;
  }
}

TEST(ParamValueText, Booleans) {
  for (const std::string text : {"true", "True", "yes", "on", "y"}) {
    EXPECT_TRUE(Read(ParameterType::PARAMETER_BOOL, text).bool_value) << text;
  }
  for (const std::string text : {"false", "FALSE", "no", "off", "n"}) {
    EXPECT_FALSE(Read(ParameterType::PARAMETER_BOOL, text).bool_value) << text;
  }
  for (const std::string text : {"1", "0", "maybe", "'true'", "[true]"}) {
    EXPECT_FALSE(Fits(ParameterType::PARAMETER_BOOL, text)) << text;
  }
}

TEST(ParamValueText, Arrays) {
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER_ARRAY, "[1, 2]").integer_array_value,
            (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER_ARRAY, "- 3\n- 4").integer_array_value,
            (std::vector<int64_t>{3, 4}));
  EXPECT_TRUE(Read(ParameterType::PARAMETER_INTEGER_ARRAY, "[]").integer_array_value.empty());
  EXPECT_EQ(Read(ParameterType::PARAMETER_DOUBLE_ARRAY, "[1, 2.5]").double_array_value,
            (std::vector<double>{1.0, 2.5}));
  EXPECT_EQ(Read(ParameterType::PARAMETER_BOOL_ARRAY, "[true, no]").bool_array_value,
            (std::vector<bool>{true, false}));
  EXPECT_EQ(Read(ParameterType::PARAMETER_BYTE_ARRAY, "[0, 255, 0x10]").byte_array_value,
            (std::vector<uint8_t>{0, 255, 16}));
  // String elements keep their text; quotes only group.
  EXPECT_EQ(
      Read(ParameterType::PARAMETER_STRING_ARRAY, "[a, 1, 'b, c', \" d\"]").string_array_value,
      (std::vector<std::string>{"a", "1", "b, c", " d"}));
  EXPECT_TRUE(Read(ParameterType::PARAMETER_STRING_ARRAY, "[]").string_array_value.empty());

  EXPECT_FALSE(Fits(ParameterType::PARAMETER_INTEGER_ARRAY, "5"));
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_INTEGER_ARRAY, "[1, 2.5]"));
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_INTEGER_ARRAY, "[1, [2]]"));
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_INTEGER_ARRAY, "{a: 1}"));
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_BYTE_ARRAY, "[256]"));
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_BYTE_ARRAY, "[-1]"));
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_BOOL_ARRAY, "[true, 1]"));
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_STRING_ARRAY, "[a, [b]]"));
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_STRING_ARRAY, "a"));
}

// Fits, in a child process that is killed after a few seconds and (outside AddressSanitizer,
// which reserves a large address space of its own) may hold at most 1 GiB: a reader that
// never ends fails the test instead of filling the machine's memory. "refused" or why not.
std::string RefusedInBoundedChild(uint8_t type, const std::string& text) {
  const pid_t child = ::fork();
  if (child == 0) {
#ifndef __SANITIZE_ADDRESS__
    const rlimit most{1L << 30, 1L << 30};
    ::setrlimit(RLIMIT_AS, &most);
#endif
    ::alarm(5);
    ParameterValue value;
    ::_exit(ParameterValueFromText(type, text, &value) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status)) return WEXITSTATUS(status) == 0 ? "refused" : "taken";
  return "ended by signal " + std::to_string(WTERMSIG(status));
}

// Found by the fuzz target (config_center/test/fuzz/parameter_text.cpp): for a stray "," at
// the top, yaml-cpp 0.7's LoadAll yields empty documents without end until memory runs out.
TEST(ParamValueText, TextsThatTheYamlReaderNeverFinishesAreRefused) {
  for (const std::string text : {",", " ,", " , 0o17]", "[1],", "- 1\n,"}) {
    for (const uint8_t type :
         {ParameterType::PARAMETER_INTEGER, ParameterType::PARAMETER_BYTE_ARRAY,
          ParameterType::PARAMETER_STRING_ARRAY}) {
      EXPECT_EQ(RefusedInBoundedChild(type, text), "refused") << text;
    }
  }
  // Several documents, and an empty one after the first, count as before.
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_INTEGER, "5\n---\n6"));
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER, "5\n---\n").integer_value, 5);
  EXPECT_EQ(Read(ParameterType::PARAMETER_INTEGER, "--- 5\n...\n").integer_value, 5);
  EXPECT_FALSE(Fits(ParameterType::PARAMETER_INTEGER, "---\n"));
}

}  // namespace
}  // namespace parameter_text
