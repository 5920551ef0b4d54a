#include "rclcpp/parameter.hpp"

namespace rclcpp {

Parameter::Parameter() = default;

Parameter::Parameter(const std::string& name) : name_(name) {}

Parameter::Parameter(const std::string& name, const ParameterValue& value)
    : name_(name), value_(value) {}

bool Parameter::operator==(const Parameter& rhs) const {
  return name_ == rhs.name_ && value_ == rhs.value_;
}

bool Parameter::as_bool() const { return get_value<PARAMETER_BOOL>(); }
int64_t Parameter::as_int() const { return get_value<PARAMETER_INTEGER>(); }
double Parameter::as_double() const { return get_value<PARAMETER_DOUBLE>(); }
const std::string& Parameter::as_string() const { return get_value<PARAMETER_STRING>(); }
const std::vector<uint8_t>& Parameter::as_byte_array() const {
  return get_value<PARAMETER_BYTE_ARRAY>();
}
const std::vector<bool>& Parameter::as_bool_array() const {
  return get_value<PARAMETER_BOOL_ARRAY>();
}
const std::vector<int64_t>& Parameter::as_integer_array() const {
  return get_value<PARAMETER_INTEGER_ARRAY>();
}
const std::vector<double>& Parameter::as_double_array() const {
  return get_value<PARAMETER_DOUBLE_ARRAY>();
}
const std::vector<std::string>& Parameter::as_string_array() const {
  return get_value<PARAMETER_STRING_ARRAY>();
}

Parameter Parameter::from_parameter_msg(const rcl_interfaces::msg::Parameter& parameter) {
  return Parameter(parameter.name, ParameterValue(parameter.value));
}

rcl_interfaces::msg::Parameter Parameter::to_parameter_msg() const {
  rcl_interfaces::msg::Parameter msg;
  msg.name = name_;
  msg.value = value_.to_value_msg();
  return msg;
}

std::ostream& operator<<(std::ostream& os, const rclcpp::Parameter& pv) {
  return os << "{\"name\": \"" << pv.get_name() << "\", \"type\": \"" << pv.get_type_name()
            << "\", \"value\": \"" << pv.value_to_string() << "\"}";
}

std::ostream& operator<<(std::ostream& os, const std::vector<Parameter>& parameters) {
  os << "{";
  bool first = true;
  for (const auto& p : parameters) {
    if (!first) os << ", ";
    first = false;
    os << "\"" << p.get_name() << "\": {\"type\": \"" << p.get_type_name() << "\", \"value\": \""
       << p.value_to_string() << "\"}";
  }
  return os << "}";
}

}  // namespace rclcpp
