#include "rclcpp/logger.hpp"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>

namespace rclcpp {

namespace {
std::mutex g_levels_mutex;
std::map<std::string, Logger::Level> g_levels;

const char* level_name(Logger::Level level) {
  switch (level) {
    case Logger::Level::Debug:
      return "DEBUG";
    case Logger::Level::Info:
      return "INFO";
    case Logger::Level::Warn:
      return "WARN";
    case Logger::Level::Error:
      return "ERROR";
    case Logger::Level::Fatal:
      return "FATAL";
    default:
      return "UNSET";
  }
}
}  // namespace

Logger get_logger(const std::string& name) { return Logger(name); }

void Logger::set_level(Level level) {
  if (!name_) return;
  std::lock_guard<std::mutex> lock(g_levels_mutex);
  g_levels[*name_] = level;
}

namespace detail {
bool log_enabled(const Logger& logger, Logger::Level level) {
  if (logger.get_name() == nullptr) return false;
  std::lock_guard<std::mutex> lock(g_levels_mutex);
  auto it = g_levels.find(logger.get_name());
  const Logger::Level threshold =
      it == g_levels.end() || it->second == Logger::Level::Unset ? Logger::Level::Info : it->second;
  return level >= threshold;
}

void log(const Logger& logger, Logger::Level level, const char* format, ...) {
  if (!log_enabled(logger, level)) return;
  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::fprintf(stderr, "[%s] [%lld.%09ld] [%s]: %s\n", level_name(level),
               static_cast<long long>(ts.tv_sec), ts.tv_nsec, logger.get_name(), message);
}
}  // namespace detail

}  // namespace rclcpp
