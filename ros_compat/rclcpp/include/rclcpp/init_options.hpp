#ifndef RCLCPP__INIT_OPTIONS_HPP_
#define RCLCPP__INIT_OPTIONS_HPP_

#include <cstddef>

namespace rclcpp {

/// Options for rclcpp::init and Context::init.
class InitOptions {
public:
  /// Whether a SIGINT/SIGTERM shuts this context down (when handlers are installed).
  bool shutdown_on_signal = true;

  InitOptions() = default;
  virtual ~InitOptions() = default;

  bool auto_initialize_logging() const { return initialize_logging_; }
  InitOptions& auto_initialize_logging(bool initialize_logging) {
    initialize_logging_ = initialize_logging;
    return *this;
  }

  /// Domain for this context; without it ROS_DOMAIN_ID (or 0) is used.
  void set_domain_id(size_t domain_id) {
    domain_id_ = domain_id;
    domain_id_set_ = true;
  }
  void use_default_domain_id() { domain_id_set_ = false; }
  /// The domain set with set_domain_id, or the value of ROS_DOMAIN_ID (0 when unset).
  size_t get_domain_id() const;

private:
  bool initialize_logging_ = true;
  bool domain_id_set_ = false;
  size_t domain_id_ = 0;
};

}  // namespace rclcpp

#endif  // RCLCPP__INIT_OPTIONS_HPP_
