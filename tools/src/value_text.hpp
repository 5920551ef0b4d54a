#ifndef CONFIG_CENTER_TOOLS_VALUE_TEXT_HPP_
#define CONFIG_CENTER_TOOLS_VALUE_TEXT_HPP_

// How the tools print parameter values: one line each, strings quoted and escaped so that
// blanks, quotes and control bytes stay visible.

#include <string>

#include <rclcpp/parameter_value.hpp>

namespace config_center::tools {

// "text" with \" \\ \n \r \t and \xNN for other control bytes.
std::string Quote(const std::string& text);

// Strings (and string array elements) quoted, everything else as rclcpp::to_string.
std::string ValueText(const rclcpp::ParameterValue& value);

// "type=<type> value=<ValueText>"
std::string TypedValueText(const rclcpp::ParameterValue& value);

// Keeps a reason on one line.
std::string OneLine(const std::string& text);

}  // namespace config_center::tools

#endif  // CONFIG_CENTER_TOOLS_VALUE_TEXT_HPP_
