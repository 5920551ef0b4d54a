#ifndef RCLCPP__SERVICE_HPP_
#define RCLCPP__SERVICE_HPP_

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "rclcpp/any_service_callback.hpp"
#include "rclcpp/detail/cdr_serialization.hpp"
#include "rclcpp/detail/type_support.hpp"
#include "rclcpp/macros.hpp"
#include "rmw/qos_profiles.h"
#include "rmw/types.h"

namespace rclcpp {

namespace node_interfaces {
class NodeBaseInterface;
}

/// The DDS side of a service: request reader on rq/<name>Request, reply writer on
/// rr/<name>Reply.
class ServiceBase {
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(ServiceBase)

  virtual ~ServiceBase();

  /// Fully qualified (resolved) service name.
  const char* get_service_name();

  // Used by executors.
  int32_t read_condition() const;
  /// Takes one request and handles it; false when none was waiting.
  bool take_and_handle();

protected:
  ServiceBase(std::shared_ptr<node_interfaces::NodeBaseInterface> node_base,
              const std::string& service_name, const rmw_qos_profile_t& qos_profile);
  RCLCPP_DISABLE_COPY(ServiceBase)

  /// Deserializes and runs the callback of one request.
  virtual void handle_serialized_request(const rmw_request_id_t& request_id,
                                         const std::vector<uint8_t>& payload) = 0;
  /// Sends `payload` as the reply to `request_id` once the client's reply reader is matched.
  void send_serialized_response(const rmw_request_id_t& request_id,
                                const std::vector<uint8_t>& payload);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

template <typename ServiceT>
class Service : public ServiceBase, public std::enable_shared_from_this<Service<ServiceT>> {
public:
  using Request = typename ServiceT::Request;
  using Response = typename ServiceT::Response;
  using SharedRequest = std::shared_ptr<Request>;
  using SharedResponse = std::shared_ptr<Response>;
  using CallbackType = std::function<void(const SharedRequest, SharedResponse)>;
  using CallbackWithHeaderType = std::function<void(const std::shared_ptr<rmw_request_id_t>,
                                                    const SharedRequest, SharedResponse)>;
  RCLCPP_SMART_PTR_DEFINITIONS(Service)

  Service(std::shared_ptr<node_interfaces::NodeBaseInterface> node_base,
          const std::string& service_name, AnyServiceCallback<ServiceT> any_callback,
          const rmw_qos_profile_t& qos_profile)
      : ServiceBase(std::move(node_base), service_name, qos_profile),
        any_callback_(std::move(any_callback)),
        members_(detail::service_members<ServiceT>()) {}

  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  std::shared_ptr<Request> create_request() { return std::make_shared<Request>(); }
  std::shared_ptr<rmw_request_id_t> create_request_header() {
    return std::make_shared<rmw_request_id_t>();
  }

  /// For deferred callbacks: answers a request taken earlier.
  void send_response(rmw_request_id_t& req_id, Response& response) {
    std::vector<uint8_t> bytes;
    detail::serialize_message(members_->response_members_, &response, bytes);
    send_serialized_response(req_id, bytes);
  }

protected:
  void handle_serialized_request(const rmw_request_id_t& request_id,
                                 const std::vector<uint8_t>& payload) override {
    auto request = std::make_shared<Request>();
    if (!detail::deserialize_message(members_->request_members_, payload.data(), payload.size(),
                                     request.get())) {
      return;  // not a request of this type
    }
    auto header = std::make_shared<rmw_request_id_t>(request_id);
    auto response = any_callback_.dispatch(this->shared_from_this(), header, std::move(request));
    if (response) send_response(*header, *response);
  }

private:
  AnyServiceCallback<ServiceT> any_callback_;
  const rosidl_typesupport_introspection_cpp::ServiceMembers* members_;
};

}  // namespace rclcpp

#endif  // RCLCPP__SERVICE_HPP_
