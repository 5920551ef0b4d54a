#ifndef RCLCPP__LOGGER_HPP_
#define RCLCPP__LOGGER_HPP_

#include <memory>
#include <string>

namespace rclcpp {

/// A named logger; the logging macros write its messages to standard error.
class Logger {
public:
  enum class Level { Unset = 0, Debug = 10, Info = 20, Warn = 30, Error = 40, Fatal = 50 };

  const char* get_name() const { return name_ ? name_->c_str() : nullptr; }
  Logger get_child(const std::string& suffix) const {
    return name_ ? Logger(*name_ + "." + suffix) : Logger();
  }
  void set_level(Level level);

private:
  friend Logger get_logger(const std::string& name);
  Logger() = default;
  explicit Logger(const std::string& name) : name_(std::make_shared<std::string>(name)) {}
  std::shared_ptr<const std::string> name_;
};

Logger get_logger(const std::string& name);

namespace detail {
/// Writes "[LEVEL] [seconds.nanoseconds] [name]: message" when `level` is enabled.
void log(const Logger& logger, Logger::Level level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool log_enabled(const Logger& logger, Logger::Level level);
}  // namespace detail

}  // namespace rclcpp

#endif  // RCLCPP__LOGGER_HPP_
