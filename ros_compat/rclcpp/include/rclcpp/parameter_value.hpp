// A typed parameter value, as rclcpp::ParameterValue: a thin wrapper around
// rcl_interfaces::msg::ParameterValue with typed access.
#ifndef RCLCPP__PARAMETER_VALUE_HPP_
#define RCLCPP__PARAMETER_VALUE_HPP_

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rcl_interfaces/msg/parameter_value.hpp>

namespace rclcpp {

enum ParameterType : uint8_t {
  PARAMETER_NOT_SET = rcl_interfaces::msg::ParameterType::PARAMETER_NOT_SET,
  PARAMETER_BOOL = rcl_interfaces::msg::ParameterType::PARAMETER_BOOL,
  PARAMETER_INTEGER = rcl_interfaces::msg::ParameterType::PARAMETER_INTEGER,
  PARAMETER_DOUBLE = rcl_interfaces::msg::ParameterType::PARAMETER_DOUBLE,
  PARAMETER_STRING = rcl_interfaces::msg::ParameterType::PARAMETER_STRING,
  PARAMETER_BYTE_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_BYTE_ARRAY,
  PARAMETER_BOOL_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_BOOL_ARRAY,
  PARAMETER_INTEGER_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_INTEGER_ARRAY,
  PARAMETER_DOUBLE_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_DOUBLE_ARRAY,
  PARAMETER_STRING_ARRAY = rcl_interfaces::msg::ParameterType::PARAMETER_STRING_ARRAY,
};

// "not set", "bool", "integer", "double", "string", "byte_array", ..., "string_array".
std::string to_string(ParameterType type);
std::ostream& operator<<(std::ostream& os, ParameterType type);

// Typed access with the wrong type.
class ParameterTypeException : public std::runtime_error {
public:
  ParameterTypeException(ParameterType expected, ParameterType actual)
      : std::runtime_error("expected [" + rclcpp::to_string(expected) + "] got [" +
                           rclcpp::to_string(actual) + "]") {}
};

class ParameterValue {
public:
  ParameterValue();
  // Throws std::runtime_error for a type tag outside 0..9.
  explicit ParameterValue(const rcl_interfaces::msg::ParameterValue& value);
  explicit ParameterValue(bool bool_value);
  explicit ParameterValue(int int_value);
  explicit ParameterValue(int64_t int_value);
  explicit ParameterValue(float double_value);
  explicit ParameterValue(double double_value);
  explicit ParameterValue(const std::string& string_value);
  explicit ParameterValue(const char* string_value);
  explicit ParameterValue(const std::vector<uint8_t>& byte_array_value);
  explicit ParameterValue(const std::vector<bool>& bool_array_value);
  explicit ParameterValue(const std::vector<int>& int_array_value);
  explicit ParameterValue(const std::vector<int64_t>& int_array_value);
  explicit ParameterValue(const std::vector<float>& double_array_value);
  explicit ParameterValue(const std::vector<double>& double_array_value);
  explicit ParameterValue(const std::vector<std::string>& string_array_value);

  ParameterType get_type() const { return static_cast<ParameterType>(value_.type); }

  // The message form; only the field that `type` names carries data.
  rcl_interfaces::msg::ParameterValue to_value_msg() const { return value_; }

  bool operator==(const ParameterValue& rhs) const { return value_ == rhs.value_; }
  bool operator!=(const ParameterValue& rhs) const { return !(*this == rhs); }

  template <ParameterType type>
  decltype(auto) get() const {
    static_assert(type != PARAMETER_NOT_SET, "a value that is not set has nothing to get");
    if (get_type() != type) throw ParameterTypeException(type, get_type());
    if constexpr (type == PARAMETER_BOOL) {
      return (value_.bool_value);
    } else if constexpr (type == PARAMETER_INTEGER) {
      return (value_.integer_value);
    } else if constexpr (type == PARAMETER_DOUBLE) {
      return (value_.double_value);
    } else if constexpr (type == PARAMETER_STRING) {
      return (value_.string_value);
    } else if constexpr (type == PARAMETER_BYTE_ARRAY) {
      return (value_.byte_array_value);
    } else if constexpr (type == PARAMETER_BOOL_ARRAY) {
      return (value_.bool_array_value);
    } else if constexpr (type == PARAMETER_INTEGER_ARRAY) {
      return (value_.integer_array_value);
    } else if constexpr (type == PARAMETER_DOUBLE_ARRAY) {
      return (value_.double_array_value);
    } else {
      return (value_.string_array_value);
    }
  }

  template <typename T>
  decltype(auto) get() const {
    using U = std::remove_cv_t<std::remove_reference_t<T>>;
    if constexpr (std::is_same_v<U, bool>) {
      return get<PARAMETER_BOOL>();
    } else if constexpr (std::is_integral_v<U>) {
      return get<PARAMETER_INTEGER>();
    } else if constexpr (std::is_floating_point_v<U>) {
      return get<PARAMETER_DOUBLE>();
    } else if constexpr (std::is_convertible_v<U, std::string>) {
      return get<PARAMETER_STRING>();
    } else if constexpr (std::is_same_v<U, std::vector<uint8_t>>) {
      return get<PARAMETER_BYTE_ARRAY>();
    } else if constexpr (std::is_same_v<U, std::vector<bool>>) {
      return get<PARAMETER_BOOL_ARRAY>();
    } else if constexpr (std::is_same_v<U, std::vector<int>> ||
                         std::is_same_v<U, std::vector<int64_t>>) {
      return get<PARAMETER_INTEGER_ARRAY>();
    } else if constexpr (std::is_same_v<U, std::vector<float>> ||
                         std::is_same_v<U, std::vector<double>>) {
      return get<PARAMETER_DOUBLE_ARRAY>();
    } else if constexpr (std::is_same_v<U, std::vector<std::string>>) {
      return get<PARAMETER_STRING_ARRAY>();
    } else if constexpr (std::is_same_v<U, ParameterValue>) {
      return (*this);
    } else {
      static_assert(std::is_same_v<U, bool>, "type has no parameter representation");
    }
  }

private:
  rcl_interfaces::msg::ParameterValue value_;
};

// The value as text: "not set", "true", "42", "1.500000", the string itself, "[1, 2]".
std::string to_string(const ParameterValue& value);

}  // namespace rclcpp

#endif  // RCLCPP__PARAMETER_VALUE_HPP_
