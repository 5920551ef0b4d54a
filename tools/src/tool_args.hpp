// Command-line helpers shared by the tools.
#ifndef CONFIG_CENTER_TOOLS__TOOL_ARGS_HPP_
#define CONFIG_CENTER_TOOLS__TOOL_ARGS_HPP_

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// The program's own arguments: argv without argv[0] and without the ROS arguments
// (--ros-args ... [--]), which rclcpp::init reads.
std::vector<std::string> program_arguments(int argc, char** argv);

// A non-negative decimal number of seconds ("2", "0.25"); false if malformed.
bool parse_seconds(const std::string& text, double& seconds);

// A decimal integer that fits int64_t; false if malformed.
bool parse_int(const std::string& text, int64_t& value);

// A decimal number that strtod reads whole; false if malformed.
bool parse_double(const std::string& text, double& value);

// "true" or "false".
bool parse_bool(const std::string& text, bool& value);

// "[a, b, c]" into its elements, each without surrounding blanks ("[]": none). No quoting:
// elements cannot hold commas.
bool parse_list(const std::string& text, std::vector<std::string>& items);

// Splits "P=VALUE" at the first '='; false when there is none or P is empty.
bool split_assignment(const std::string& text, std::string& name, std::string& value);

}  // namespace tools

#endif  // CONFIG_CENTER_TOOLS__TOOL_ARGS_HPP_
