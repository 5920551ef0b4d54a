#include "parameter_text/parameter_text.hpp"

#include <utility>
#include <vector>

#include <yaml-cpp/yaml.h>
#include <rcl_interfaces/msg/parameter_type.hpp>
#include <rclcpp/parameter_value.hpp>

namespace parameter_text {

namespace {

using rcl_interfaces::msg::ParameterType;
using rcl_interfaces::msg::ParameterValue;

// A quoted scalar is a string in YAML, whatever it looks like ('5' is no integer).
bool IsPlainScalar(const YAML::Node& node) { return node.IsScalar() && node.Tag() != "!"; }

template <typename T>
bool ReadScalar(const YAML::Node& node, T* out) {
  return IsPlainScalar(node) && YAML::convert<T>::decode(node, *out);
}

bool ReadByte(const YAML::Node& node, uint8_t* out) {
  int64_t number = 0;
  if (!ReadScalar(node, &number) || number < 0 || number > 255) {
    return false;
  }
  *out = static_cast<uint8_t>(number);
  return true;
}

bool ReadText(const YAML::Node& node, std::string* out) {
  if (!node.IsScalar()) {
    return false;
  }
  *out = node.Scalar();
  return true;
}

template <typename T, typename ReadElement>
bool ReadSequence(const YAML::Node& node, ReadElement read, std::vector<T>* out) {
  if (!node.IsSequence()) {
    return false;
  }
  std::vector<T> values(node.size());
  for (size_t i = 0; i < node.size(); ++i) {
    if (!read(node[i], &values[i])) {
      return false;
    }
  }
  *out = std::move(values);
  return true;
}

bool ReadTyped(uint8_t type, const YAML::Node& node, ParameterValue* value) {
  switch (type) {
    case ParameterType::PARAMETER_BOOL:
      return ReadScalar(node, &value->bool_value);
    case ParameterType::PARAMETER_INTEGER:
      return ReadScalar(node, &value->integer_value);
    case ParameterType::PARAMETER_DOUBLE:
      return ReadScalar(node, &value->double_value);
    case ParameterType::PARAMETER_BYTE_ARRAY:
      return ReadSequence(node, ReadByte, &value->byte_array_value);
    case ParameterType::PARAMETER_BOOL_ARRAY: {
      // std::vector<bool> has no element pointers; read through plain bools.
      std::vector<char> flags;
      auto read = [](const YAML::Node& element, char* flag) {
        bool b = false;
        if (!ReadScalar(element, &b)) return false;
        *flag = b;
        return true;
      };
      if (!ReadSequence(node, read, &flags)) return false;
      value->bool_array_value.assign(flags.begin(), flags.end());
      return true;
    }
    case ParameterType::PARAMETER_INTEGER_ARRAY:
      return ReadSequence(node, ReadScalar<int64_t>, &value->integer_array_value);
    case ParameterType::PARAMETER_DOUBLE_ARRAY:
      return ReadSequence(node, ReadScalar<double>, &value->double_array_value);
    case ParameterType::PARAMETER_STRING_ARRAY:
      return ReadSequence(node, ReadText, &value->string_array_value);
    default:
      return false;
  }
}

}  // namespace

bool ParameterValueFromText(uint8_t declared_type, const std::string& text, ParameterValue* out) {
  if (declared_type == ParameterType::PARAMETER_STRING ||
      declared_type == ParameterType::PARAMETER_NOT_SET) {
    ParameterValue value;
    value.type = ParameterType::PARAMETER_STRING;
    value.string_value = text;
    *out = std::move(value);
    return true;
  }
  std::vector<YAML::Node> documents;
  try {
    documents = YAML::LoadAll(text);
  } catch (const YAML::Exception&) {
    return false;
  }
  if (documents.size() != 1) {
    return false;
  }
  ParameterValue value;
  value.type = declared_type;
  if (!ReadTyped(declared_type, documents.front(), &value)) {
    return false;
  }
  *out = std::move(value);
  return true;
}

std::string ParameterTypeName(uint8_t type) {
  return rclcpp::to_string(static_cast<rclcpp::ParameterType>(type));
}

}  // namespace parameter_text
