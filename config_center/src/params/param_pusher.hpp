#ifndef CONFIG_CENTER_PARAM_PUSHER_HPP_
#define CONFIG_CENTER_PARAM_PUSHER_HPP_

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <rcl_interfaces/msg/parameter.hpp>
#include <rclcpp/rclcpp.hpp>

#include "distribution/applier.hpp"
#include "params/param_calls.hpp"
#include "params/target_types.hpp"
#include "params/target_watch.hpp"

namespace config_center {

// Puts parameter items into effect on their nodes through each node's standard parameter
// services, the waiting changes of one node in one SetParameters request (the node takes
// them in the request's order, and each parameter's own result decides its item): a value
// goes out as the type the node declared it with (learnt once per node,
// for all the names managed there), a withdrawal as a parameter that is not set. Calls never
// block: each has 1 s to find its service and be answered, and its outcome comes back from
// the executor. Also watches the graph for the nodes it has reached, so that a node that
// comes back as a new process is noticed. Built, like rclcpp's own AsyncParametersClient,
// from the node interfaces it needs. Main thread only.
class ParamPusher : public Applier {
public:
  using Clock = std::chrono::steady_clock;
  // The names of the parameters the node manages on `node_name` (their types are asked for
  // together).
  using ManagedNames = std::function<std::vector<std::string>(const std::string& node_name)>;
  // Told of every parameter just before it goes out to `node_name` (its own sets announce
  // themselves on /parameter_events, and must never count as another party's).
  using SendListener = std::function<void(const std::string& node_name,
                                          const rcl_interfaces::msg::Parameter& parameter)>;

  ParamPusher(rclcpp::node_interfaces::NodeBaseInterface::SharedPtr base,
              rclcpp::node_interfaces::NodeGraphInterface::SharedPtr graph,
              rclcpp::node_interfaces::NodeServicesInterface::SharedPtr services,
              ManagedNames managed_names);

  // Applier: a node name is accepted when it makes a valid service name; a held node is
  // reachable once it serves set_parameters on the graph.
  bool Accepts(const PendingChange& change, std::string* why) override;
  bool Reachable(const Target& target) override;
  std::string UnreachableReason(const Target& target) override;
  void Apply(const Target& target, const PendingChange& change, Finish finish) override;
  size_t MostInOne() const override { return kMostInOneRequest; }
  void ApplyInOne(const Target& target, const std::vector<PendingChange>& changes,
                  FinishAll finish) override;

  // The most parameters one request carries: a node's share of a large robot goes in a few
  // requests, each answered well within the 1 s deadline.
  static constexpr size_t kMostInOneRequest = 256;

  // A value to set, or (an empty value) the parameter as not set.
  void ParamConfigDistribute(const PendingChange& change, Finish finish);
  // The withdrawal: the parameter goes out as not set.
  void DeleteParamConfig(const PendingChange& change, Finish finish);

  void SetSendListener(SendListener listener) { send_listener_ = std::move(listener); }

  // Whether the ROS graph changed anywhere since the last call (a hint to look); the same
  // without taking the change.
  bool GraphChanged() { return watch_.GraphChanged(); }
  bool GraphPending() const { return watch_.GraphPending(); }
  // The nodes reached before that a new process serves since the last look; their declared
  // types are forgotten.
  std::vector<std::string> Restarted(bool graph_changed);

  // Sends the calls whose service has matched meanwhile, ends those past their deadline.
  void Poll(Clock::time_point now) { calls_.Poll(now); }
  bool AwaitingService() const { return calls_.AwaitingService(); }
  std::optional<Clock::time_point> NextDeadline() const { return calls_.NextDeadline(); }
  // Until the main executor spins (start-up), a private one serves the calls and gives them
  // back; `between` runs after each step. Returns once every call has an outcome.
  void WaitForCalls(const std::function<void()>& between);

private:
  // Sends `changes` to `node_name` in one request, each value as the node declared it (its
  // types are known); `finish` gets an outcome for each. A text that does not read as its
  // declared type is refused here and not sent.
  void SendTogether(const std::string& node_name, const std::vector<PendingChange>& changes,
                    FinishAll finish);
  void NoteParamCall(const std::string& node_name, bool answered);

  rclcpp::node_interfaces::NodeBaseInterface::SharedPtr base_;
  rclcpp::node_interfaces::NodeGraphInterface::SharedPtr graph_;
  ManagedNames managed_names_;
  // Served by the main executor once it spins (the answers to parameter calls arrive there),
  // and before that by WaitForCalls' own.
  rclcpp::CallbackGroup::SharedPtr group_;
  ParamCalls calls_;
  TargetWatch watch_;
  TargetTypes types_;
  SendListener send_listener_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_PARAM_PUSHER_HPP_
