#ifndef CONFIG_CENTER_TEST_SUPPORT_OUTPUT_CAPTURE_HPP_
#define CONFIG_CENTER_TEST_SUPPORT_OUTPUT_CAPTURE_HPP_

// Captures what the process writes to a standard stream (stdout or stderr file descriptor),
// through C stdio and iostreams alike, until Take() is called or the object ends.

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

namespace config_center::test {

class OutputCapture {
public:
  explicit OutputCapture(int fd) : fd_(fd) {
    Flush();
    file_ = std::tmpfile();
    saved_ = dup(fd_);
    dup2(fileno(file_), fd_);
  }
  ~OutputCapture() { Take(); }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Stops capturing and returns everything written meanwhile.
  std::string Take() {
    if (file_ == nullptr) {
      return text_;
    }
    Flush();
    dup2(saved_, fd_);
    close(saved_);
    std::rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
      text_.append(buffer, n);
    }
    std::fclose(file_);
    file_ = nullptr;
    return text_;
  }

private:
  static void Flush() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
  }

  int fd_;
  int saved_ = -1;
  std::FILE* file_ = nullptr;
  std::string text_;
};

}  // namespace config_center::test

#endif  // CONFIG_CENTER_TEST_SUPPORT_OUTPUT_CAPTURE_HPP_
