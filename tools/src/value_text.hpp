// How the tools print parameter values: one line each, strings quoted and escaped so that
// blanks, quotes and control bytes stay visible.
#ifndef CONFIG_CENTER_TOOLS__VALUE_TEXT_HPP_
#define CONFIG_CENTER_TOOLS__VALUE_TEXT_HPP_

#include <string>

#include <rclcpp/parameter_value.hpp>

namespace tools {

// "text" with \" \\ \n \r \t and \xNN for other control bytes.
std::string quote(const std::string& text);

// Strings (and string array elements) quoted, everything else as rclcpp::to_string.
std::string value_text(const rclcpp::ParameterValue& value);

// "type=<type> value=<value_text>"
std::string typed_value_text(const rclcpp::ParameterValue& value);

// Keeps a reason on one line.
std::string one_line(const std::string& text);

}  // namespace tools

#endif  // CONFIG_CENTER_TOOLS__VALUE_TEXT_HPP_
