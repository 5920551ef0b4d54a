#include "tool_args.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <rclcpp/utilities.hpp>

namespace config_center::tools {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  std::vector<std::string> args = rclcpp::remove_ros_arguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  return args;
}

bool ParseSeconds(const std::string& text, double* seconds) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0) return false;
  *seconds = v;
  return true;
}

bool ParseInt(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

bool SplitAssignment(const std::string& text, std::string* name, std::string* value) {
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  *name = text.substr(0, eq);
  *value = text.substr(eq + 1);
  return true;
}

}  // namespace config_center::tools
