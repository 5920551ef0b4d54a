#ifndef CONFIG_CENTER_TOOLS_TOOL_ARGS_HPP_
#define CONFIG_CENTER_TOOLS_TOOL_ARGS_HPP_

// Command-line helpers shared by the tools.

#include <cstdint>
#include <string>
#include <vector>

namespace config_center::tools {

// The program's own arguments: argv without argv[0] and without the ROS arguments
// (--ros-args ... [--]), which rclcpp::init reads.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// A non-negative decimal number of seconds ("2", "0.25"); false if malformed.
bool ParseSeconds(const std::string& text, double* seconds);

// A decimal integer that fits int64_t; false if malformed.
bool ParseInt(const std::string& text, int64_t* value);

// Splits "P=VALUE" at the first '='; false when there is none or P is empty.
bool SplitAssignment(const std::string& text, std::string* name, std::string* value);

}  // namespace config_center::tools

#endif  // CONFIG_CENTER_TOOLS_TOOL_ARGS_HPP_
