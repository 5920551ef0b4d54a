#include "config_center/log_capture.hpp"

#include <utility>

#include "config_center/logging.hpp"

namespace config_center {

namespace {

LogCapture* active_capture = nullptr;

void HoldInActiveCapture(const spdlog::source_loc& where, spdlog::level::level_enum level,
                         std::string_view text) {
  active_capture->Hold(where, level, std::string(text));
}

}  // namespace

LogCapture::LogCapture() {
  active_capture = this;
  SetLogDivert(&HoldInActiveCapture);
}

LogCapture::~LogCapture() { Release(); }

void LogCapture::Hold(const spdlog::source_loc& where, spdlog::level::level_enum level,
                      std::string text) {
  held_.push_back(Record{spdlog::log_clock::now(), where, level, std::move(text)});
}

size_t LogCapture::Discard() {
  const size_t count = held_.size();
  held_.clear();
  return count;
}

void LogCapture::Release(const std::function<void()>& before) {
  if (active_capture == this) {
    active_capture = nullptr;
    SetLogDivert(nullptr);
  }
  if (before) before();
  for (const Record& record : held_) {
    EmitLogRecord(record.when, record.where, record.level, record.text);
  }
  held_.clear();
}

}  // namespace config_center
