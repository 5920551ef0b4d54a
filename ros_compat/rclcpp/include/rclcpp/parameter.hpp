// A named parameter value, as rclcpp::Parameter.
#ifndef RCLCPP__PARAMETER_HPP_
#define RCLCPP__PARAMETER_HPP_

#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include <rcl_interfaces/msg/parameter.hpp>
#include <rcl_interfaces/msg/parameter_value.hpp>

#include "rclcpp/exceptions.hpp"
#include "rclcpp/parameter_value.hpp"

namespace rclcpp {

class Parameter {
public:
  Parameter();
  explicit Parameter(const std::string& name);
  Parameter(const std::string& name, const ParameterValue& value);

  template <typename ValueTypeT>
  Parameter(const std::string& name, ValueTypeT value) : Parameter(name, ParameterValue(value)) {}

  bool operator==(const Parameter& rhs) const;
  bool operator!=(const Parameter& rhs) const { return !(*this == rhs); }

  ParameterType get_type() const { return value_.get_type(); }
  std::string get_type_name() const { return rclcpp::to_string(get_type()); }
  const std::string& get_name() const { return name_; }
  rcl_interfaces::msg::ParameterValue get_value_message() const { return value_.to_value_msg(); }
  const ParameterValue& get_parameter_value() const { return value_; }

  // Throws ParameterTypeException when the value has another type.
  template <ParameterType ParamT>
  decltype(auto) get_value() const {
    return value_.get<ParamT>();
  }

  // Throws exceptions::InvalidParameterTypeException when the value has another type.
  template <typename T>
  decltype(auto) get_value() const {
    using U = std::remove_cv_t<std::remove_reference_t<T>>;
    if constexpr (std::is_same_v<U, Parameter>) {
      return (*this);
    } else {
      try {
        return value_.get<T>();
      } catch (const ParameterTypeException& ex) {
        throw exceptions::InvalidParameterTypeException(name_, ex.what());
      }
    }
  }

  bool as_bool() const;
  int64_t as_int() const;
  double as_double() const;
  const std::string& as_string() const;
  const std::vector<uint8_t>& as_byte_array() const;
  const std::vector<bool>& as_bool_array() const;
  const std::vector<int64_t>& as_integer_array() const;
  const std::vector<double>& as_double_array() const;
  const std::vector<std::string>& as_string_array() const;

  // Throws std::runtime_error for a type tag outside 0..9.
  static Parameter from_parameter_msg(const rcl_interfaces::msg::Parameter& parameter);
  rcl_interfaces::msg::Parameter to_parameter_msg() const;

  std::string value_to_string() const { return rclcpp::to_string(value_); }

private:
  std::string name_;
  ParameterValue value_;
};

std::ostream& operator<<(std::ostream& os, const rclcpp::Parameter& pv);
std::ostream& operator<<(std::ostream& os, const std::vector<Parameter>& parameters);

}  // namespace rclcpp

#endif  // RCLCPP__PARAMETER_HPP_
