#ifndef CONFIG_CENTER_LOG_CAPTURE_HPP_
#define CONFIG_CENTER_LOG_CAPTURE_HPP_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <spdlog/common.h>

namespace config_center {

// Holds back the log records of a stretch of work until its outcome is known, so that a
// failure repeating on every tick can be left out while anything new is still written.
// While one exists, every log record of the process goes to it; one at a time, main thread.
class LogCapture {
public:
  LogCapture();
  ~LogCapture();  // writes whatever is still held
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Drops the held records and says how many there were.
  size_t Discard();
  // Drops the held records whose text is in `repeats`; says how many.
  size_t DiscardRepeats(const std::vector<std::string>& repeats);
  // The texts of the held records, in order.
  std::vector<std::string> Texts() const;
  // Stops holding, runs `before` (whose records are written directly), then writes the
  // held records in order.
  void Release(const std::function<void()>& before = nullptr);

  void Hold(const spdlog::source_loc& where, spdlog::level::level_enum level, std::string text);

private:
  struct Record {
    spdlog::log_clock::time_point when;
    spdlog::source_loc where;
    spdlog::level::level_enum level;
    std::string text;
  };
  std::vector<Record> held_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_LOG_CAPTURE_HPP_
