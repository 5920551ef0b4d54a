#ifndef CONFIG_CENTER_PARAM_SERVICE_CLIENTS_HPP_
#define CONFIG_CENTER_PARAM_SERVICE_CLIENTS_HPP_

#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include <rclcpp/rclcpp.hpp>

namespace config_center {

// Where parameter calls are made and waited for: the node, the callback group that only the
// private executor serves, and that executor (see ConfigCenter::SetNode).
struct ParamCallContext {
  rclcpp::Node* node;
  rclcpp::CallbackGroup::SharedPtr group;
  rclcpp::executors::SingleThreadedExecutor* executor;
};

// Calls to a target's parameter services: one client per service, kept while it answers in
// time (no new discovery per call), made afresh after a failure, so a restarted target is
// found again.
class ParamServiceClients {
public:
  // kInvalidName: the client library refuses the service name; kError: it raised anything
  // else (last_error() has its text).
  enum class Outcome { kAnswered, kNoService, kNoAnswer, kShutdown, kInvalidName, kError };

  template <typename ServiceT>
  Outcome Call(const ParamCallContext& context, const std::string& service,
               typename ServiceT::Request::SharedPtr request,
               std::chrono::steady_clock::time_point deadline,
               typename ServiceT::Response::SharedPtr* response);

  const std::string& last_error() const { return last_error_; }

private:
  static std::chrono::nanoseconds TimeLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    return left > std::chrono::nanoseconds::zero() ? left : std::chrono::nanoseconds::zero();
  }

  std::map<std::string, rclcpp::ClientBase::SharedPtr> clients_;
  std::string last_error_;
};

template <typename ServiceT>
ParamServiceClients::Outcome ParamServiceClients::Call(
    const ParamCallContext& context, const std::string& service,
    typename ServiceT::Request::SharedPtr request, std::chrono::steady_clock::time_point deadline,
    typename ServiceT::Response::SharedPtr* response) {
  try {
    auto client = std::dynamic_pointer_cast<rclcpp::Client<ServiceT>>(clients_[service]);
    if (!client) {
      client = context.node->create_client<ServiceT>(service, rmw_qos_profile_services_default,
                                                     context.group);
      clients_[service] = client;
    }
    // A request written before the client has matched the service is lost on the wire, so
    // look for the service first, within the same deadline. Asking a kept client first spares
    // the graph event that wait_for_service sets up (it wakes the graph listener).
    if (!client->service_is_ready() && !client->wait_for_service(TimeLeft(deadline))) {
      clients_.erase(service);
      return rclcpp::ok() ? Outcome::kNoService : Outcome::kShutdown;
    }
    auto future = client->async_send_request(std::move(request));
    const auto code = context.executor->spin_until_future_complete(future, TimeLeft(deadline));
    if (code == rclcpp::FutureReturnCode::SUCCESS) {
      *response = future.get();
      return Outcome::kAnswered;
    }
    if (code == rclcpp::FutureReturnCode::TIMEOUT) {
      client->remove_pending_request(future);
      clients_.erase(service);
      return Outcome::kNoAnswer;
    }
    return Outcome::kShutdown;
  } catch (const rclcpp::exceptions::NameValidationError& error) {
    clients_.erase(service);
    last_error_ = error.what();
    return Outcome::kInvalidName;
  } catch (const std::exception& error) {
    clients_.erase(service);
    last_error_ = error.what();
    return Outcome::kError;
  }
}

}  // namespace config_center

#endif  // CONFIG_CENTER_PARAM_SERVICE_CLIENTS_HPP_
