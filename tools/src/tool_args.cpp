#include "tool_args.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <rclcpp/utilities.hpp>

namespace tools {

std::vector<std::string> program_arguments(int argc, char** argv) {
  std::vector<std::string> args = rclcpp::remove_ros_arguments(argc, argv);
  if (!args.empty()) args.erase(args.begin());
  return args;
}

bool parse_seconds(const std::string& text, double& seconds) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0) return false;
  seconds = v;
  return true;
}

bool parse_int(const std::string& text, int64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = v;
  return true;
}

bool parse_double(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0') return false;
  value = v;
  return true;
}

bool parse_bool(const std::string& text, bool& value) {
  if (text != "true" && text != "false") return false;
  value = text == "true";
  return true;
}

bool parse_list(const std::string& text, std::vector<std::string>& items) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
  items.clear();
  const std::string inner = text.substr(1, text.size() - 2);
  if (inner.find_first_not_of(' ') == std::string::npos) return true;
  size_t start = 0;
  for (;;) {
    const size_t comma = inner.find(',', start);
    std::string item = inner.substr(start, comma == std::string::npos ? comma : comma - start);
    const size_t first = item.find_first_not_of(' ');
    const size_t last = item.find_last_not_of(' ');
    items.push_back(first == std::string::npos ? "" : item.substr(first, last - first + 1));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool split_assignment(const std::string& text, std::string& name, std::string& value) {
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  name = text.substr(0, eq);
  value = text.substr(eq + 1);
  return true;
}

}  // namespace tools
