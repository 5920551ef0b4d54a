#include "logging/log_capture.hpp"

#include <algorithm>
#include <utility>

#include "logging/logging.hpp"

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

size_t LogCapture::DiscardRepeats(const std::vector<std::string>& repeats) {
  const size_t before = held_.size();
  held_.erase(std::remove_if(held_.begin(), held_.end(),
                             [&](const Record& record) {
                               return std::find(repeats.begin(), repeats.end(), record.text) !=
                                      repeats.end();
                             }),
              held_.end());
  return before - held_.size();
}

std::vector<std::string> LogCapture::Texts() const {
  std::vector<std::string> texts;
  for (const Record& record : held_) texts.push_back(record.text);
  return texts;
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
