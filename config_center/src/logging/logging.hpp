#ifndef CONFIG_CENTER_LOGGING_HPP_
#define CONFIG_CENTER_LOGGING_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace config_center {

// The process-wide logger; empty until InitLogger succeeds.
std::shared_ptr<spdlog::logger>& GetLogger();

// Creates the daily file logger (a new file at local midnight, appended to, none removed) and
// stores it in GetLogger(). A failure is reported on standard output only; the caller goes on.
void InitLogger(const std::string& base_path, std::string logger_name);

// Every LOG_DEBUG / LOG_ERROR record arrives here already formatted. It goes to the divert
// when one is set, otherwise to EmitLogRecord.
void WriteLogRecord(const spdlog::source_loc& where, spdlog::level::level_enum level,
                    std::string_view text);

// Writes a record to the logger, or to standard error while the logger is empty. A record
// that was held back keeps the time it was made at.
void EmitLogRecord(const spdlog::source_loc& where, spdlog::level::level_enum level,
                   std::string_view text);
void EmitLogRecord(spdlog::log_clock::time_point when, const spdlog::source_loc& where,
                   spdlog::level::level_enum level, std::string_view text);

// While set, WriteLogRecord hands every record to `divert` instead (null: no divert). Main
// thread only, like all logging of the node.
using LogDivert = void (*)(const spdlog::source_loc& where, spdlog::level::level_enum level,
                           std::string_view text);
void SetLogDivert(LogDivert divert);

// The error-level records written so far: how many, and the last one, for the node's status.
// Main thread only.
struct LoggedErrors {
  uint64_t count = 0;
  spdlog::log_clock::time_point last_at{};
  std::string last;
};
const LoggedErrors& GetLoggedErrors();

namespace detail {

// The file name of a source path: what records name, so that they do not carry the build
// machine's directories.
constexpr const char* FileName(const char* path) {
  const char* name = path;
  for (const char* at = path; *at != '\0'; ++at) {
    if (*at == '/') name = at + 1;
  }
  return name;
}

// A plain message is taken as it is, braces included.
template <typename T>
inline void Log(const spdlog::source_loc& where, spdlog::level::level_enum level, const T& text) {
  WriteLogRecord(where, level, std::string_view(text));
}

template <typename... Args>
inline void Log(const spdlog::source_loc& where, spdlog::level::level_enum level,
                fmt::format_string<Args...> format, Args&&... args) {
  const std::string text = fmt::format(format, std::forward<Args>(args)...);
  WriteLogRecord(where, level, text);
}

}  // namespace detail
}  // namespace config_center

// The file name is found while compiling (a constant), so a record costs no more for it.
#define CONFIG_CENTER_LOG_AT(level, ...)                                    \
  ::config_center::detail::Log(                                             \
      spdlog::source_loc{[] {                                               \
                           constexpr const char* kFile =                    \
                               ::config_center::detail::FileName(__FILE__); \
                           return kFile;                                    \
                         }(),                                               \
                         __LINE__, __FUNCTION__},                           \
      level, __VA_ARGS__)

#define LOG_DEBUG(...) CONFIG_CENTER_LOG_AT(spdlog::level::debug, __VA_ARGS__)
#define LOG_ERROR(...) CONFIG_CENTER_LOG_AT(spdlog::level::err, __VA_ARGS__)

#endif  // CONFIG_CENTER_LOGGING_HPP_
