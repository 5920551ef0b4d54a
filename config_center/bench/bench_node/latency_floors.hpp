#ifndef CONFIG_CENTER_BENCH_NODE_LATENCY_FLOORS_HPP_
#define CONFIG_CENTER_BENCH_NODE_LATENCY_FLOORS_HPP_

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <rclcpp/version.h>
#include <rcl_interfaces/srv/set_parameters.hpp>
#include <rclcpp/rclcpp.hpp>

#include "bench_node/bench_clock.hpp"
#include "tracking/change_feed.hpp"

namespace config_center::bench {

// The floors a change's latency is weighed against, taken in this process beside the node
// and on the same commits: how soon the binary log's event reaches a reader of its own, and
// what a bare SetParameters call costs to a service already discovered.

// A change feed of this process (the node's own code, the node's account): when the event of
// the commit under way reached it.
class FeedFloor {
public:
  FeedFloor();
  ~FeedFloor();
  FeedFloor(const FeedFloor&) = delete;
  FeedFloor& operator=(const FeedFloor&) = delete;

  // Right before a commit: the next wake-up belongs to it.
  void Arm();
  // When the armed commit's event arrived; nullopt when none came within `timeout`.
  std::optional<Clock::time_point> WokeAt(Clock::duration timeout);

private:
  std::unique_ptr<ChangeFeed> feed_;
  std::mutex mutex_;
  bool armed_ = false;
  std::optional<Clock::time_point> woke_;
};

// An rclcpp node of this process whose clients call targets' set_parameters, spun only while
// a call waits for its answer, on the caller's thread (as bench_param_calls does), by the
// executor that costs least per wake-up. rclcpp must be initialised.
class BareParamCalls {
public:
  explicit BareParamCalls(const std::string& node_name);
  ~BareParamCalls();
  BareParamCalls(const BareParamCalls&) = delete;
  BareParamCalls& operator=(const BareParamCalls&) = delete;

  // Makes the clients and waits until each has matched its service; throws if one does not
  // within 10 s.
  void Discover(const std::vector<std::string>& node_names);
  // One request setting `name` to `value` on the discovered `node_name`: from the send (its
  // time in `sent`) to the answer in hand, in ms; throws when no answer comes within 1 s.
  double RoundTrip(const std::string& node_name, const std::string& name, const std::string& value,
                   Clock::time_point* sent);
  // One request to every discovered node, all sent before any answer is awaited: from the
  // first send to the last answer, in ms; throws when an answer is missing after 1 s.
  double FanOut(const std::string& name, const std::string& value);

private:
  using SetParameters = rcl_interfaces::srv::SetParameters;
  rclcpp::Node::SharedPtr node_;
  std::unique_ptr<rclcpp::Executor> executor_;
  std::vector<std::pair<std::string, rclcpp::Client<SetParameters>::SharedPtr>> clients_;
};

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_LATENCY_FLOORS_HPP_
