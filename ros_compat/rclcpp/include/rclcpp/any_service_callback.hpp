#ifndef RCLCPP__ANY_SERVICE_CALLBACK_HPP_
#define RCLCPP__ANY_SERVICE_CALLBACK_HPP_

#include <functional>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "rmw/types.h"

namespace rclcpp {

template <typename ServiceT>
class Service;

/// Holds a service callback in one of the forms rclcpp accepts:
/// (request, response), (request_header, request, response), and the deferred forms
/// (request_header, request) and (service, request_header, request), which answer later
/// through Service::send_response.
template <typename ServiceT>
class AnyServiceCallback {
public:
  using Request = typename ServiceT::Request;
  using Response = typename ServiceT::Response;
  using SharedRequest = std::shared_ptr<Request>;
  using SharedResponse = std::shared_ptr<Response>;
  using SharedHeader = std::shared_ptr<rmw_request_id_t>;
  using SharedService = std::shared_ptr<Service<ServiceT>>;

  AnyServiceCallback() = default;

  template <typename CallbackT>
  void set(CallbackT&& callback) {
    using C = std::decay_t<CallbackT>;
    if constexpr (std::is_invocable_v<C&, SharedRequest, SharedResponse>) {
      plain_ = std::forward<CallbackT>(callback);
    } else if constexpr (std::is_invocable_v<C&, SharedHeader, SharedRequest, SharedResponse>) {
      with_header_ = std::forward<CallbackT>(callback);
    } else if constexpr (std::is_invocable_v<C&, SharedHeader, SharedRequest>) {
      deferred_ = std::forward<CallbackT>(callback);
    } else if constexpr (std::is_invocable_v<C&, SharedService, SharedHeader, SharedRequest>) {
      deferred_with_service_ = std::forward<CallbackT>(callback);
    } else {
      static_assert(std::is_invocable_v<C&, SharedRequest, SharedResponse>,
                    "service callback must take (request, response), (request_header, request, "
                    "response), (request_header, request) or (service, request_header, request)");
    }
  }

  /// Runs the callback; returns the response to send, or nullptr when it answers later.
  SharedResponse dispatch(const SharedService& service, const SharedHeader& header,
                          SharedRequest request) {
    if (plain_) {
      auto response = std::make_shared<Response>();
      plain_(std::move(request), response);
      return response;
    }
    if (with_header_) {
      auto response = std::make_shared<Response>();
      with_header_(header, std::move(request), response);
      return response;
    }
    if (deferred_) {
      deferred_(header, std::move(request));
      return nullptr;
    }
    if (deferred_with_service_) {
      deferred_with_service_(service, header, std::move(request));
      return nullptr;
    }
    throw std::runtime_error("unexpected request without any callback set");
  }

private:
  std::function<void(SharedRequest, SharedResponse)> plain_;
  std::function<void(SharedHeader, SharedRequest, SharedResponse)> with_header_;
  std::function<void(SharedHeader, SharedRequest)> deferred_;
  std::function<void(SharedService, SharedHeader, SharedRequest)> deferred_with_service_;
};

}  // namespace rclcpp

#endif  // RCLCPP__ANY_SERVICE_CALLBACK_HPP_
