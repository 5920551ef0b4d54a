#ifndef CONFIG_CENTER_LOGGING_HPP_
#define CONFIG_CENTER_LOGGING_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "logging/log_text.hpp"

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

// A string argument of a log call: a text from outside the program as a rule (a value, a
// name, an error text), so it is written through LogText: escaped, and cut at its bound.
struct LogArg {
  std::string_view text;
};

// Strings become LogArg; anything else (numbers, mostly) is formatted as it is.
template <typename T>
inline decltype(auto) ForLog(const T& value) {
  if constexpr (std::is_pointer_v<T> &&
                std::is_same_v<std::remove_cv_t<std::remove_pointer_t<T>>, char>) {
    return LogArg{value != nullptr ? std::string_view(value) : std::string_view("(null)")};
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return LogArg{std::string_view(value)};
  } else if constexpr (std::is_same_v<T, char>) {
    return LogArg{std::string_view(&value, 1)};
  } else {
    return value;  // by reference: decltype(auto) of an lvalue
  }
}

// A plain message is taken as it is, braces included. A literal is the program's own text
// and is written exactly so; any other text may hold outside texts and goes through LogText.
template <typename T>
inline void Log(const spdlog::source_loc& where, spdlog::level::level_enum level, const T& text) {
  if constexpr (std::is_array_v<T>) {
    WriteLogRecord(where, level, std::string_view(text));
  } else {
    WriteLogRecord(where, level, LogText(std::string_view(text)));
  }
}

// The format text is the program's own and is kept; each string argument is escaped and
// bounded, so a record is one line whatever the arguments hold.
template <typename... Args>
inline void Log(const spdlog::source_loc& where, spdlog::level::level_enum level,
                fmt::format_string<Args...> format, Args&&... args) {
  const std::tuple<decltype(ForLog(args))...> arguments{ForLog(args)...};
  const std::string text = std::apply(
      [&format](const auto&... formatted) {
        return fmt::vformat(static_cast<fmt::string_view>(format),
                            fmt::make_format_args(formatted...));
      },
      arguments);
  WriteLogRecord(where, level, text);
}

}  // namespace detail
}  // namespace config_center

// A LogArg takes the format options of a string ("{:>20}"), applied to its escaped text.
template <>
struct fmt::formatter<config_center::detail::LogArg> : fmt::formatter<fmt::string_view> {
  template <typename FormatContext>
  auto format(const config_center::detail::LogArg& arg, FormatContext& context) const {
    if (config_center::IsPlainLogText(arg.text)) {
      return fmt::formatter<fmt::string_view>::format(
          fmt::string_view(arg.text.data(), arg.text.size()), context);
    }
    const std::string text = config_center::LogText(arg.text);
    return fmt::formatter<fmt::string_view>::format(fmt::string_view(text), context);
  }
};

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
