#include "support/log_tail.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "support/process.hpp"

namespace config_center::test {

namespace {

constexpr char kLogDir[] = "/opt/velgar/logs/config_center/";

// Made before the node makes it, so that it can be watched from the start.
std::string MadeLogDir() {
  std::filesystem::create_directories(kLogDir);
  return kLogDir;
}

size_t FileSize(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
}

}  // namespace

std::string LogTail::Path() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  return std::string(kLogDir) + "config_center_log_file_" + date;
}

LogTail::LogTail()
    : path_(Path()), start_(FileSize(path_)), events_(MadeLogDir(), IN_MODIFY | IN_CREATE) {}

LogTail::~LogTail() {
  if (file_ >= 0) ::close(file_);
}

void LogTail::ReadNew() {
  if (file_ < 0) file_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (file_ < 0) return;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n =
        ::pread(file_, buffer, sizeof buffer, static_cast<off_t>(start_ + text_.size()));
    if (n <= 0) return;
    text_.append(buffer, static_cast<size_t>(n));
  }
}

const std::string& LogTail::Since() {
  ReadNew();
  return text_;
}

size_t LogTail::CountIn(const std::string& haystack, const std::string& text) {
  size_t count = 0;
  for (size_t at = haystack.find(text); at != std::string::npos;
       at = haystack.find(text, at + text.size())) {
    ++count;
  }
  return count;
}

bool LogTail::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
  return Wait(text, timeout, nullptr, nullptr);
}

bool LogTail::WaitFor(const std::string& text, std::chrono::milliseconds timeout, Process& writer,
                      Clock::time_point* seen) {
  return Wait(text, timeout, &writer, seen);
}

bool LogTail::Wait(const std::string& text, std::chrono::milliseconds timeout, Process* writer,
                   Clock::time_point* seen) {
  const auto deadline = Clock::now() + timeout;
  size_t from = cursor_;  // where the text can start that was not looked for yet
  for (;;) {
    // Asked before reading, so that what an ended writer wrote last is still read.
    const bool writer_ended = writer != nullptr && !writer->Running();
    ReadNew();
    const auto read_at = Clock::now();
    const size_t found = text_.find(text, from);
    if (found != std::string::npos) {
      cursor_ = found + text.size();
      if (seen != nullptr) *seen = read_at;
      return true;
    }
    if (text_.size() >= text.size()) from = std::max(from, text_.size() - text.size() + 1);
    if (writer_ended || Clock::now() >= deadline) return false;
    events_.Wait(std::chrono::milliseconds(5));
  }
}

}  // namespace config_center::test
