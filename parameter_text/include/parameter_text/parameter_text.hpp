#ifndef PARAMETER_TEXT_PARAMETER_TEXT_HPP_
#define PARAMETER_TEXT_PARAMETER_TEXT_HPP_

#include <cstdint>
#include <string>

#include <rcl_interfaces/msg/parameter_value.hpp>

namespace parameter_text {

// Reads an item's text as a value of the type its target declared (a ParameterType number),
// the way `ros2 param set` reads its value argument: a YAML scalar, or a YAML sequence for
// the array types. A string, or a parameter the target did not declare (not set), takes the
// text exactly as it is. False when the text does not fit the type; `out` is then untouched.
bool ParameterValueFromText(uint8_t declared_type, const std::string& text,
                            rcl_interfaces::msg::ParameterValue* out);

// "integer", "double_array", ... as rclcpp names the types.
std::string ParameterTypeName(uint8_t type);

}  // namespace parameter_text

#endif  // PARAMETER_TEXT_PARAMETER_TEXT_HPP_
