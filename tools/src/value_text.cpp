#include "value_text.hpp"

#include <cstdio>
#include <vector>

namespace config_center::tools {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20 || u == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\x%02x", u);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string ValueText(const rclcpp::ParameterValue& value) {
  if (value.get_type() == rclcpp::PARAMETER_STRING) return Quote(value.get<std::string>());
  if (value.get_type() == rclcpp::PARAMETER_STRING_ARRAY) {
    std::string out = "[";
    const auto& items = value.get<std::vector<std::string>>();
    for (size_t i = 0; i < items.size(); ++i) {
      if (i > 0) out += ", ";
      out += Quote(items[i]);
    }
    return out + "]";
  }
  return rclcpp::to_string(value);
}

std::string TypedValueText(const rclcpp::ParameterValue& value) {
  return "type=" + rclcpp::to_string(value.get_type()) + " value=" + ValueText(value);
}

std::string OneLine(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c != '\r') {
      out += c;
    }
  }
  return out;
}

}  // namespace config_center::tools
