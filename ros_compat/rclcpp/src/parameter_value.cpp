#include "rclcpp/parameter_value.hpp"

#include <sstream>

namespace rclcpp {

std::string to_string(ParameterType type) {
  switch (type) {
    case PARAMETER_NOT_SET:
      return "not set";
    case PARAMETER_BOOL:
      return "bool";
    case PARAMETER_INTEGER:
      return "integer";
    case PARAMETER_DOUBLE:
      return "double";
    case PARAMETER_STRING:
      return "string";
    case PARAMETER_BYTE_ARRAY:
      return "byte_array";
    case PARAMETER_BOOL_ARRAY:
      return "bool_array";
    case PARAMETER_INTEGER_ARRAY:
      return "integer_array";
    case PARAMETER_DOUBLE_ARRAY:
      return "double_array";
    case PARAMETER_STRING_ARRAY:
      return "string_array";
  }
  return "unknown type";
}

std::ostream& operator<<(std::ostream& os, ParameterType type) { return os << to_string(type); }

ParameterValue::ParameterValue() { value_.type = PARAMETER_NOT_SET; }

// Keeps only the field the type names, so equal values compare equal however they arrived.
ParameterValue::ParameterValue(const rcl_interfaces::msg::ParameterValue& value) {
  value_.type = value.type;
  switch (value.type) {
    case PARAMETER_NOT_SET:
      break;
    case PARAMETER_BOOL:
      value_.bool_value = value.bool_value;
      break;
    case PARAMETER_INTEGER:
      value_.integer_value = value.integer_value;
      break;
    case PARAMETER_DOUBLE:
      value_.double_value = value.double_value;
      break;
    case PARAMETER_STRING:
      value_.string_value = value.string_value;
      break;
    case PARAMETER_BYTE_ARRAY:
      value_.byte_array_value = value.byte_array_value;
      break;
    case PARAMETER_BOOL_ARRAY:
      value_.bool_array_value = value.bool_array_value;
      break;
    case PARAMETER_INTEGER_ARRAY:
      value_.integer_array_value = value.integer_array_value;
      break;
    case PARAMETER_DOUBLE_ARRAY:
      value_.double_array_value = value.double_array_value;
      break;
    case PARAMETER_STRING_ARRAY:
      value_.string_array_value = value.string_array_value;
      break;
    default:
      throw std::runtime_error("Unknown type: " + std::to_string(value.type));
  }
}

ParameterValue::ParameterValue(bool bool_value) {
  value_.type = PARAMETER_BOOL;
  value_.bool_value = bool_value;
}
ParameterValue::ParameterValue(int int_value) : ParameterValue(static_cast<int64_t>(int_value)) {}
ParameterValue::ParameterValue(int64_t int_value) {
  value_.type = PARAMETER_INTEGER;
  value_.integer_value = int_value;
}
ParameterValue::ParameterValue(float double_value)
    : ParameterValue(static_cast<double>(double_value)) {}
ParameterValue::ParameterValue(double double_value) {
  value_.type = PARAMETER_DOUBLE;
  value_.double_value = double_value;
}
ParameterValue::ParameterValue(const std::string& string_value) {
  value_.type = PARAMETER_STRING;
  value_.string_value = string_value;
}
ParameterValue::ParameterValue(const char* string_value)
    : ParameterValue(std::string(string_value)) {}
ParameterValue::ParameterValue(const std::vector<uint8_t>& byte_array_value) {
  value_.type = PARAMETER_BYTE_ARRAY;
  value_.byte_array_value = byte_array_value;
}
ParameterValue::ParameterValue(const std::vector<bool>& bool_array_value) {
  value_.type = PARAMETER_BOOL_ARRAY;
  value_.bool_array_value = bool_array_value;
}
ParameterValue::ParameterValue(const std::vector<int>& int_array_value) {
  value_.type = PARAMETER_INTEGER_ARRAY;
  value_.integer_array_value.assign(int_array_value.begin(), int_array_value.end());
}
ParameterValue::ParameterValue(const std::vector<int64_t>& int_array_value) {
  value_.type = PARAMETER_INTEGER_ARRAY;
  value_.integer_array_value = int_array_value;
}
ParameterValue::ParameterValue(const std::vector<float>& double_array_value) {
  value_.type = PARAMETER_DOUBLE_ARRAY;
  value_.double_array_value.assign(double_array_value.begin(), double_array_value.end());
}
ParameterValue::ParameterValue(const std::vector<double>& double_array_value) {
  value_.type = PARAMETER_DOUBLE_ARRAY;
  value_.double_array_value = double_array_value;
}
ParameterValue::ParameterValue(const std::vector<std::string>& string_array_value) {
  value_.type = PARAMETER_STRING_ARRAY;
  value_.string_array_value = string_array_value;
}

namespace {

template <typename Seq, typename Print>
std::string join(const Seq& items, Print print) {
  std::ostringstream out;
  out << "[";
  bool first = true;
  for (const auto& item : items) {
    if (!first) out << ", ";
    first = false;
    print(out, item);
  }
  out << "]";
  return out.str();
}

}  // namespace

std::string to_string(const ParameterValue& value) {
  switch (value.get_type()) {
    case PARAMETER_NOT_SET:
      return "not set";
    case PARAMETER_BOOL:
      return value.get<bool>() ? "true" : "false";
    case PARAMETER_INTEGER:
      return std::to_string(value.get<int64_t>());
    case PARAMETER_DOUBLE:
      return std::to_string(value.get<double>());
    case PARAMETER_STRING:
      return value.get<std::string>();
    case PARAMETER_BYTE_ARRAY:
      return join(value.get<std::vector<uint8_t>>(),
                  [](std::ostream& o, uint8_t b) { o << static_cast<int>(b); });
    case PARAMETER_BOOL_ARRAY:
      return join(value.get<std::vector<bool>>(),
                  [](std::ostream& o, bool b) { o << (b ? "true" : "false"); });
    case PARAMETER_INTEGER_ARRAY:
      return join(value.get<std::vector<int64_t>>(), [](std::ostream& o, int64_t i) { o << i; });
    case PARAMETER_DOUBLE_ARRAY:
      return join(value.get<std::vector<double>>(), [](std::ostream& o, double d) { o << d; });
    case PARAMETER_STRING_ARRAY:
      return join(value.get<std::vector<std::string>>(),
                  [](std::ostream& o, const std::string& s) { o << s; });
  }
  return "unknown type";
}

}  // namespace rclcpp
