#ifndef RCLCPP__LOGGING_HPP_
#define RCLCPP__LOGGING_HPP_

#include <sstream>

#include "rclcpp/logger.hpp"

#define RCLCPP_LOG_IMPL_(level, logger, ...) \
  ::rclcpp::detail::log((logger), ::rclcpp::Logger::Level::level, __VA_ARGS__)
#define RCLCPP_LOG_STREAM_IMPL_(level, logger, stream_arg)                         \
  do {                                                                             \
    if (::rclcpp::detail::log_enabled((logger), ::rclcpp::Logger::Level::level)) { \
      std::stringstream rclcpp_stream_ss_;                                         \
      rclcpp_stream_ss_ << stream_arg;                                             \
      ::rclcpp::detail::log((logger), ::rclcpp::Logger::Level::level, "%s",        \
                            rclcpp_stream_ss_.str().c_str());                      \
    }                                                                              \
  } while (0)

#define RCLCPP_DEBUG(logger, ...) RCLCPP_LOG_IMPL_(Debug, logger, __VA_ARGS__)
#define RCLCPP_INFO(logger, ...) RCLCPP_LOG_IMPL_(Info, logger, __VA_ARGS__)
#define RCLCPP_WARN(logger, ...) RCLCPP_LOG_IMPL_(Warn, logger, __VA_ARGS__)
#define RCLCPP_ERROR(logger, ...) RCLCPP_LOG_IMPL_(Error, logger, __VA_ARGS__)
#define RCLCPP_FATAL(logger, ...) RCLCPP_LOG_IMPL_(Fatal, logger, __VA_ARGS__)
#define RCLCPP_DEBUG_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(Debug, logger, s)
#define RCLCPP_INFO_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(Info, logger, s)
#define RCLCPP_WARN_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(Warn, logger, s)
#define RCLCPP_ERROR_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(Error, logger, s)
#define RCLCPP_FATAL_STREAM(logger, s) RCLCPP_LOG_STREAM_IMPL_(Fatal, logger, s)

#endif  // RCLCPP__LOGGING_HPP_
