#ifndef RCLCPP__EXCEPTIONS__EXCEPTIONS_HPP_
#define RCLCPP__EXCEPTIONS__EXCEPTIONS_HPP_

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace rclcpp {
namespace exceptions {

/// Thrown when a method is called on a node that is no longer valid.
class InvalidNodeError : public std::runtime_error {
public:
  InvalidNodeError() : std::runtime_error("node is invalid") {}
};

/// A node name, namespace or topic/service name failed validation.
class NameValidationError : public std::invalid_argument {
public:
  NameValidationError(const char* name_type_, const char* name_, const char* error_msg_,
                      size_t invalid_index_)
      : std::invalid_argument(format_error(name_type_, name_, error_msg_, invalid_index_)),
        name_type(name_type_),
        name(name_),
        error_msg(error_msg_),
        invalid_index(invalid_index_) {}

  static std::string format_error(const char* name_type, const char* name, const char* error_msg,
                                  size_t invalid_index) {
    std::string msg;
    msg += std::string("Invalid ") + name_type + ": " + error_msg + ":\n";
    msg += std::string("  '") + name + "'\n";
    msg += std::string("   ") + std::string(invalid_index, ' ') + "^\n";
    return msg;
  }

  const std::string name_type;
  const std::string name;
  const std::string error_msg;
  const size_t invalid_index;
};

class InvalidNodeNameError : public NameValidationError {
public:
  InvalidNodeNameError(const char* node_name, const char* error_msg, size_t invalid_index)
      : NameValidationError("node name", node_name, error_msg, invalid_index) {}
};

class InvalidNamespaceError : public NameValidationError {
public:
  InvalidNamespaceError(const char* namespace_, const char* error_msg, size_t invalid_index)
      : NameValidationError("namespace", namespace_, error_msg, invalid_index) {}
};

class InvalidTopicNameError : public NameValidationError {
public:
  InvalidTopicNameError(const char* topic_name, const char* error_msg, size_t invalid_index)
      : NameValidationError("topic name", topic_name, error_msg, invalid_index) {}
};

class InvalidServiceNameError : public NameValidationError {
public:
  InvalidServiceNameError(const char* service_name, const char* error_msg, size_t invalid_index)
      : NameValidationError("service name", service_name, error_msg, invalid_index) {}
};

/// Return codes of the layer below the client library, as rcl numbers them.
using rcl_ret_t = int32_t;
constexpr rcl_ret_t RCL_RET_ERROR = 1;
constexpr rcl_ret_t RCL_RET_BAD_ALLOC = 10;
constexpr rcl_ret_t RCL_RET_INVALID_ARGUMENT = 11;
constexpr rcl_ret_t RCL_RET_NODE_INVALID_NAME = 201;
constexpr rcl_ret_t RCL_RET_NODE_INVALID_NAMESPACE = 202;
constexpr rcl_ret_t RCL_RET_SERVICE_NAME_INVALID = 104;
constexpr rcl_ret_t RCL_RET_CLIENT_INVALID = 500;

/// Details of a failure below the client library.
class RCLErrorBase {
public:
  RCLErrorBase(rcl_ret_t ret_, const std::string& message_, const std::string& file_ = "",
               size_t line_ = 0)
      : ret(ret_),
        message(message_),
        file(file_),
        line(line_),
        formatted_message(
            file_.empty() ? message_ : message_ + ", at " + file_ + ":" + std::to_string(line_)) {}
  virtual ~RCLErrorBase() = default;

  rcl_ret_t ret;
  std::string message;
  std::string file;
  size_t line;
  std::string formatted_message;
};

/// A failure below the client library; what() is "<prefix>: <message>".
class RCLError : public RCLErrorBase, public std::runtime_error {
public:
  RCLError(rcl_ret_t ret, const std::string& message, const std::string& prefix)
      : RCLError(RCLErrorBase(ret, message), prefix) {}
  RCLError(const RCLErrorBase& base_exc, const std::string& prefix)
      : RCLErrorBase(base_exc),
        std::runtime_error(prefix.empty() ? base_exc.formatted_message
                                          : prefix + ": " + base_exc.formatted_message) {}
};

class RCLBadAlloc : public RCLErrorBase, public std::bad_alloc {
public:
  explicit RCLBadAlloc(const RCLErrorBase& base_exc) : RCLErrorBase(base_exc) {}
};

class RCLInvalidArgument : public RCLErrorBase, public std::invalid_argument {
public:
  RCLInvalidArgument(const RCLErrorBase& base_exc, const std::string& prefix)
      : RCLErrorBase(base_exc),
        std::invalid_argument(prefix.empty() ? base_exc.formatted_message
                                             : prefix + ": " + base_exc.formatted_message) {}
};

class RCLInvalidROSArgsError : public RCLErrorBase, public std::runtime_error {
public:
  RCLInvalidROSArgsError(const RCLErrorBase& base_exc, const std::string& prefix)
      : RCLErrorBase(base_exc),
        std::runtime_error(prefix.empty() ? base_exc.formatted_message
                                          : prefix + ": " + base_exc.formatted_message) {}
};

class UnknownROSArgsError : public std::runtime_error {
public:
  explicit UnknownROSArgsError(std::vector<std::string>&& unknown_ros_args_in)
      : std::runtime_error("found unknown ROS arguments: " + join(unknown_ros_args_in)),
        unknown_ros_args(unknown_ros_args_in) {}

  const std::vector<std::string> unknown_ros_args;

private:
  static std::string join(const std::vector<std::string>& args) {
    std::string out;
    for (const auto& a : args) {
      if (!out.empty()) out += ", ";
      out += "'" + a + "'";
    }
    return out;
  }
};

class InvalidParametersException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class InvalidParameterValueException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class InvalidParameterTypeException : public std::runtime_error {
public:
  InvalidParameterTypeException(const std::string& name, const std::string message)
      : std::runtime_error("parameter '" + name + "' has invalid type: " + message) {}
};

class UninitializedStaticallyTypedParameterException : public std::runtime_error {
public:
  explicit UninitializedStaticallyTypedParameterException(const std::string& name)
      : std::runtime_error("Statically typed parameter '" + name + "' must be initialized.") {}
};

class ParameterAlreadyDeclaredException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class ParameterNotDeclaredException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class ParameterImmutableException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class ParameterModifiedInCallbackException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class ParameterUninitializedException : public std::runtime_error {
public:
  explicit ParameterUninitializedException(const std::string& name)
      : std::runtime_error("parameter '" + name + "' is not initialized") {}
};

}  // namespace exceptions
}  // namespace rclcpp

#endif  // RCLCPP__EXCEPTIONS__EXCEPTIONS_HPP_
