#ifndef RCLCPP__CLIENT_HPP_
#define RCLCPP__CLIENT_HPP_

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rclcpp/detail/cdr_serialization.hpp"
#include "rclcpp/detail/type_support.hpp"
#include "rclcpp/macros.hpp"
#include "rmw/qos_profiles.h"
#include "rmw/types.h"

namespace rclcpp {

namespace node_interfaces {
class NodeBaseInterface;
}

namespace detail {
/// A future together with the sequence number of the request it belongs to.
template <typename FutureT>
struct FutureAndRequestId {
  FutureT future;
  int64_t request_id;

  FutureAndRequestId(FutureT impl, int64_t req_id) : future(std::move(impl)), request_id(req_id) {}

  /// Allow implicit conversions to `std::future` by reference.
  operator FutureT&() { return this->future; }

  auto get() { return this->future.get(); }
  bool valid() const noexcept { return this->future.valid(); }
  void wait() const { return this->future.wait(); }
  template <class Rep, class Period>
  std::future_status wait_for(const std::chrono::duration<Rep, Period>& timeout_duration) const {
    return this->future.wait_for(timeout_duration);
  }
  template <class Clock, class Duration>
  std::future_status wait_until(
      const std::chrono::time_point<Clock, Duration>& timeout_time) const {
    return this->future.wait_until(timeout_time);
  }

  FutureAndRequestId(FutureAndRequestId&& other) noexcept = default;
  FutureAndRequestId(const FutureAndRequestId& other) = delete;
  FutureAndRequestId& operator=(FutureAndRequestId&& other) noexcept = default;
  FutureAndRequestId& operator=(const FutureAndRequestId& other) = delete;
  ~FutureAndRequestId() = default;
};
}  // namespace detail

/// The DDS side of a client: request writer on rq/<name>Request, reply reader on
/// rr/<name>Reply; replies to other clients are skipped by the request header's client id.
class ClientBase {
public:
  RCLCPP_SMART_PTR_DEFINITIONS_NOT_COPYABLE(ClientBase)

  virtual ~ClientBase();

  /// Fully qualified (resolved) service name.
  const char* get_service_name() const;
  /// True once a service's request reader and reply writer are both matched.
  bool service_is_ready() const;

  template <typename RepT = int64_t, typename RatioT = std::milli>
  bool wait_for_service(
      std::chrono::duration<RepT, RatioT> timeout = std::chrono::duration<RepT, RatioT>(-1)) {
    return wait_for_service_nanoseconds(
        std::chrono::duration_cast<std::chrono::nanoseconds>(timeout));
  }

  // Used by executors.
  int32_t read_condition() const;
  /// Takes one reply; false when none was waiting.
  bool take_and_handle();

protected:
  ClientBase(std::shared_ptr<node_interfaces::NodeBaseInterface> node_base,
             const std::string& service_name, const rmw_qos_profile_t& qos_profile);
  RCLCPP_DISABLE_COPY(ClientBase)

  bool wait_for_service_nanoseconds(std::chrono::nanoseconds timeout);
  int64_t next_sequence_number();
  /// Writes one request; throws RCLError "failed to send request".
  void send_serialized_request(int64_t sequence_number, const std::vector<uint8_t>& payload);
  /// A reply addressed to this client.
  virtual void handle_serialized_response(int64_t sequence_number,
                                          const std::vector<uint8_t>& payload) = 0;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

template <typename ServiceT>
class Client : public ClientBase {
public:
  using Request = typename ServiceT::Request;
  using Response = typename ServiceT::Response;
  using SharedRequest = std::shared_ptr<Request>;
  using SharedResponse = std::shared_ptr<Response>;
  using Promise = std::promise<SharedResponse>;
  using SharedPromise = std::shared_ptr<Promise>;
  using Future = std::future<SharedResponse>;
  using SharedFuture = std::shared_future<SharedResponse>;
  using PromiseWithRequest = std::promise<std::pair<SharedRequest, SharedResponse>>;
  using SharedFutureWithRequest = std::shared_future<std::pair<SharedRequest, SharedResponse>>;
  using CallbackType = std::function<void(SharedFuture)>;
  using CallbackWithRequestType = std::function<void(SharedFutureWithRequest)>;

  RCLCPP_SMART_PTR_DEFINITIONS(Client)

  struct FutureAndRequestId : detail::FutureAndRequestId<std::future<SharedResponse>> {
    using detail::FutureAndRequestId<std::future<SharedResponse>>::FutureAndRequestId;
    SharedFuture share() noexcept { return this->future.share(); }
    FutureAndRequestId(FutureAndRequestId&& other) noexcept = default;
    FutureAndRequestId(const FutureAndRequestId& other) = delete;
    FutureAndRequestId& operator=(FutureAndRequestId&& other) noexcept = default;
    FutureAndRequestId& operator=(const FutureAndRequestId& other) = delete;
    ~FutureAndRequestId() = default;
  };

  struct SharedFutureAndRequestId : detail::FutureAndRequestId<std::shared_future<SharedResponse>> {
    using detail::FutureAndRequestId<std::shared_future<SharedResponse>>::FutureAndRequestId;
  };

  struct SharedFutureWithRequestAndRequestId
      : detail::FutureAndRequestId<std::shared_future<std::pair<SharedRequest, SharedResponse>>> {
    using detail::FutureAndRequestId<
        std::shared_future<std::pair<SharedRequest, SharedResponse>>>::FutureAndRequestId;
  };

  Client(std::shared_ptr<node_interfaces::NodeBaseInterface> node_base,
         const std::string& service_name, const rmw_qos_profile_t& qos_profile)
      : ClientBase(std::move(node_base), service_name, qos_profile),
        members_(detail::service_members<ServiceT>()) {}

  ~Client() override = default;

  /// Sends the request; the future is fulfilled when an executor serving this client's
  /// callback group takes the reply.
  FutureAndRequestId async_send_request(SharedRequest request) {
    Promise promise;
    auto future = promise.get_future();
    Pending pending;
    pending.promise = std::move(promise);
    const int64_t id = send(request, std::move(pending));
    return FutureAndRequestId(std::move(future), id);
  }

  template <typename CallbackT,
            typename std::enable_if_t<std::is_invocable_v<CallbackT&, SharedFuture>, int> = 0>
  SharedFutureAndRequestId async_send_request(SharedRequest request, CallbackT&& cb) {
    Promise promise;
    SharedFuture future = promise.get_future().share();
    Pending pending;
    pending.promise = std::move(promise);
    pending.future = future;
    pending.callback = CallbackType(std::forward<CallbackT>(cb));
    const int64_t id = send(request, std::move(pending));
    return SharedFutureAndRequestId(std::move(future), id);
  }

  template <typename CallbackT,
            typename std::enable_if_t<std::is_invocable_v<CallbackT&, SharedFutureWithRequest> &&
                                          !std::is_invocable_v<CallbackT&, SharedFuture>,
                                      int> = 0>
  SharedFutureWithRequestAndRequestId async_send_request(SharedRequest request, CallbackT&& cb) {
    PendingWithRequest pending;
    SharedFutureWithRequest future = pending.promise.get_future().share();
    pending.future = future;
    pending.request = request;
    pending.callback = CallbackWithRequestType(std::forward<CallbackT>(cb));
    const int64_t id = send(request, std::move(pending));
    return SharedFutureWithRequestAndRequestId(std::move(future), id);
  }

  /// Forgets a pending request: its reply, should one still come, is ignored.
  bool remove_pending_request(int64_t request_id) {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    return pending_.erase(request_id) != 0;
  }
  bool remove_pending_request(const FutureAndRequestId& future) {
    return remove_pending_request(future.request_id);
  }
  bool remove_pending_request(const SharedFutureAndRequestId& future) {
    return remove_pending_request(future.request_id);
  }
  bool remove_pending_request(const SharedFutureWithRequestAndRequestId& future) {
    return remove_pending_request(future.request_id);
  }

  size_t prune_pending_requests() {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    const size_t n = pending_.size();
    pending_.clear();
    return n;
  }

  template <typename AllocatorT = std::allocator<int64_t>>
  size_t prune_requests_older_than(std::chrono::time_point<std::chrono::system_clock> time_point,
                                   std::vector<int64_t, AllocatorT>* pruned_requests = nullptr) {
    std::lock_guard<std::mutex> lock(pending_mutex_);
    size_t n = 0;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->second.sent_at < time_point) {
        if (pruned_requests) pruned_requests->push_back(it->first);
        it = pending_.erase(it);
        ++n;
      } else {
        ++it;
      }
    }
    return n;
  }

protected:
  void handle_serialized_response(int64_t sequence_number,
                                  const std::vector<uint8_t>& payload) override {
    Entry entry;
    {
      std::lock_guard<std::mutex> lock(pending_mutex_);
      auto it = pending_.find(sequence_number);
      if (it == pending_.end()) return;  // removed, pruned, or already answered
      entry = std::move(it->second);
      pending_.erase(it);
    }
    auto response = std::make_shared<Response>();
    if (!detail::deserialize_message(members_->response_members_, payload.data(), payload.size(),
                                     response.get())) {
      return;
    }
    if (entry.plain) {
      entry.plain->promise.set_value(response);
      if (entry.plain->callback) entry.plain->callback(entry.plain->future);
    } else if (entry.with_request) {
      entry.with_request->promise.set_value(std::make_pair(entry.with_request->request, response));
      entry.with_request->callback(entry.with_request->future);
    }
  }

private:
  struct Pending {
    Promise promise;
    SharedFuture future;
    CallbackType callback;
  };
  struct PendingWithRequest {
    PromiseWithRequest promise;
    SharedFutureWithRequest future;
    SharedRequest request;
    CallbackWithRequestType callback;
  };
  struct Entry {
    std::chrono::system_clock::time_point sent_at;
    std::optional<Pending> plain;
    std::optional<PendingWithRequest> with_request;
  };

  template <typename PendingT>
  int64_t send(const SharedRequest& request, PendingT&& pending) {
    std::vector<uint8_t> bytes;
    detail::serialize_message(members_->request_members_, request.get(), bytes);
    const int64_t id = next_sequence_number();
    {
      Entry entry;
      entry.sent_at = std::chrono::system_clock::now();
      if constexpr (std::is_same_v<std::decay_t<PendingT>, Pending>) {
        entry.plain.emplace(std::forward<PendingT>(pending));
      } else {
        entry.with_request.emplace(std::forward<PendingT>(pending));
      }
      std::lock_guard<std::mutex> lock(pending_mutex_);
      pending_.emplace(id, std::move(entry));
    }
    try {
      send_serialized_request(id, bytes);
    } catch (...) {
      remove_pending_request(id);
      throw;
    }
    return id;
  }

  const rosidl_typesupport_introspection_cpp::ServiceMembers* members_;
  std::mutex pending_mutex_;
  std::unordered_map<int64_t, Entry> pending_;
};

}  // namespace rclcpp

#endif  // RCLCPP__CLIENT_HPP_
