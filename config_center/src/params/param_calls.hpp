#ifndef CONFIG_CENTER_PARAM_CALLS_HPP_
#define CONFIG_CENTER_PARAM_CALLS_HPP_

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "params/services_qos.hpp"

namespace config_center {

// Calls to targets' parameter services that never block the caller: a call is started, and
// its outcome arrives later through its callback, run on the executor that serves the
// calls' callback group (the response), or from Poll (no service by the deadline, no answer
// by the deadline, ROS shutting down). A request is sent only once the client has matched
// the service (one written earlier is lost on the wire). One client per service is kept while
// it answers in time; after a failure it is made afresh, so a restarted target is found again.
// A client that has answered since the ROS graph last changed is still matched, so its next
// request goes out without asking: rclcpp's service_is_ready() counts the service's endpoints
// over the whole graph cache, a walk over every endpoint of every node (about 0.25 ms with a
// hundred target nodes, once per request, before the request is written).
// Main thread only.
class ParamCalls {
public:
  using Clock = std::chrono::steady_clock;
  enum class Result {
    kAnswered,
    kNoService,    // nobody served it by the deadline
    kNoAnswer,     // sent, but not answered by the deadline
    kShutdown,     // ROS is shutting down
    kInvalidName,  // the client library refuses the service name
    kError,        // the client library raised anything else (the text comes along)
  };
  template <typename ServiceT>
  using Done = std::function<void(Result, const typename ServiceT::Response::SharedPtr& response,
                                  const std::string& error)>;

  // The node the clients are made on (the interfaces a client needs), and their callback
  // group.
  ParamCalls(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr base,
             rclcpp::node_interfaces::NodeGraphInterface::SharedPtr graph,
             rclcpp::node_interfaces::NodeServicesInterface::SharedPtr services,
             rclcpp::CallbackGroup::SharedPtr group);

  template <typename ServiceT>
  void Start(const std::string& service, typename ServiceT::Request::SharedPtr request,
             Clock::time_point deadline, Done<ServiceT> done);

  // Sends the calls whose service has matched meanwhile, and ends those past their deadline.
  void Poll(Clock::time_point now);
  // Whether a call waits for its service to match: Poll then has work within milliseconds.
  bool AwaitingService() const;
  bool idle() const { return calls_.empty(); }
  // The earliest deadline of the calls under way.
  std::optional<Clock::time_point> NextDeadline() const;

private:
  struct Call {
    std::string service;
    rclcpp::ClientBase::SharedPtr client;
    Clock::time_point deadline;
    // Sends the request; its response comes back through Answered.
    std::function<int64_t()> send;
    std::function<void(Result, const std::string&)> fail;
    // Drops the sent request from the client's table, so a late answer finds nothing.
    std::function<void(int64_t)> remove_pending;
    std::optional<int64_t> request_id;  // once sent
  };

  // Sends `call` when its service is there; ends it when sending raises.
  void SendIfReady(uint64_t key);
  // Takes the call out and hands back its failure callback with the outcome.
  void Fail(uint64_t key, Result result, const std::string& error);
  void ForgetClient(const std::string& service);
  // Whether a request to `call`'s service can be written now.
  bool Matched(const Call& call);

  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr base_;
  rclcpp::node_interfaces::NodeGraphInterface::SharedPtr graph_;
  rclcpp::node_interfaces::NodeServicesInterface::SharedPtr services_;
  rclcpp::CallbackGroup::SharedPtr group_;
  std::map<std::string, rclcpp::ClientBase::SharedPtr> clients_;
  // Services whose client answered since the graph last changed (graph_event_ says when).
  std::set<std::string> answered_;
  rclcpp::Event::SharedPtr graph_event_;
  std::map<uint64_t, Call> calls_;
  uint64_t next_key_ = 0;
};

template <typename ServiceT>
void ParamCalls::Start(const std::string& service, typename ServiceT::Request::SharedPtr request,
                       Clock::time_point deadline, Done<ServiceT> done) {
  using Client = rclcpp::Client<ServiceT>;
  std::shared_ptr<Client> client;
  try {
    client = std::dynamic_pointer_cast<Client>(clients_[service]);
    if (!client) {
      client =
          rclcpp::create_client<ServiceT>(base_, graph_, services_, service, ServicesQos(), group_);
      clients_[service] = client;
    }
  } catch (const rclcpp::exceptions::NameValidationError& error) {
    clients_.erase(service);
    done(Result::kInvalidName, nullptr, error.what());
    return;
  } catch (const std::exception& error) {
    clients_.erase(service);
    done(Result::kError, nullptr, error.what());
    return;
  }
  const uint64_t key = next_key_++;
  Call call;
  call.service = service;
  call.client = client;
  call.deadline = deadline;
  call.fail = [done](Result result, const std::string& error) { done(result, nullptr, error); };
  call.remove_pending = [client](int64_t id) { client->remove_pending_request(id); };
  call.send = [this, key, client, request, service, done]() {
    auto sent = client->async_send_request(
        request, [this, key, service, done](typename Client::SharedFuture answer) {
          // A call that timed out is gone, and its late answer with it.
          if (calls_.erase(key) == 0) return;
          answered_.insert(service);
          done(Result::kAnswered, answer.get(), "");
        });
    return sent.request_id;
  };
  calls_.emplace(key, std::move(call));
  SendIfReady(key);
}

}  // namespace config_center

#endif  // CONFIG_CENTER_PARAM_CALLS_HPP_
