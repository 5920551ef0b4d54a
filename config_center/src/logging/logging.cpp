#include "logging/logging.hpp"

#include <cstdio>
#include <iostream>

#include <spdlog/sinks/daily_file_sink.h>

#include "logging/log_text.hpp"

namespace config_center {

namespace {
LogDivert log_divert = nullptr;
LoggedErrors logged_errors;
}  // namespace

std::shared_ptr<spdlog::logger>& GetLogger() {
  static std::shared_ptr<spdlog::logger> logger;
  return logger;
}

void InitLogger(const std::string& base_path, std::string logger_name) {
  try {
    if (logger_name.empty()) {
      logger_name = "unknow";
    }
    // Rotation at 00:00, appended to, no limit on the files kept.
    auto logger = spdlog::daily_logger_mt(logger_name, base_path, 0, 0, false, 0);
    GetLogger() = logger;
    // These come after the registration, so they win over the registry's defaults.
    logger->set_level(spdlog::level::debug);
    logger->set_pattern("[%Y-%m-%d %T.%e] [thread %t] [%n] [%l] [%@] %v",
                        spdlog::pattern_time_type::local);
    logger->flush_on(spdlog::level::debug);
  } catch (const spdlog::spdlog_ex& e) {
    // The library's text names the path and the system's error: one line, escaped.
    std::cout << "log initialization failed[" << LogText(e.what()) << "]\n";
  }
}

void SetLogDivert(LogDivert divert) { log_divert = divert; }

const LoggedErrors& GetLoggedErrors() { return logged_errors; }

void WriteLogRecord(const spdlog::source_loc& where, spdlog::level::level_enum level,
                    std::string_view text) {
  if (log_divert != nullptr) {
    log_divert(where, level, text);
    return;
  }
  EmitLogRecord(where, level, text);
}

void EmitLogRecord(const spdlog::source_loc& where, spdlog::level::level_enum level,
                   std::string_view text) {
  EmitLogRecord(spdlog::log_clock::now(), where, level, text);
}

void EmitLogRecord(spdlog::log_clock::time_point when, const spdlog::source_loc& where,
                   spdlog::level::level_enum level, std::string_view text) {
  if (level >= spdlog::level::err) {
    ++logged_errors.count;
    logged_errors.last_at = when;
    logged_errors.last.assign(text);
  }
  const auto& logger = GetLogger();
  if (logger) {
    logger->log(when, where, level, text);
    return;
  }
  // No logger (its set-up failed): keep the record on standard error rather than lose it.
  const auto level_name = spdlog::level::to_string_view(level);
  std::fprintf(stderr, "[%.*s] [%s:%d] %.*s\n", static_cast<int>(level_name.size()),
               level_name.data(), where.filename ? where.filename : "", where.line,
               static_cast<int>(text.size()), text.data());
}

}  // namespace config_center
