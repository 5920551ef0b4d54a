#ifndef CONFIG_CENTER_EXPECTED_PARAMS_HPP_
#define CONFIG_CENTER_EXPECTED_PARAMS_HPP_

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>

#include <rcl_interfaces/msg/parameter_value.hpp>

namespace config_center {

// The values the node put into effect at its targets, to tell from /parameter_events whether
// a parameter was changed by another party. The node's own sets announce themselves through
// the same events, possibly after the answer and after a newer set: each sent value is
// remembered until its event is seen (or kInFlight passes), so an event that carries one of
// them is the node's own and never counts as drift.
class ExpectedParams {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kInFlight = std::chrono::seconds(5);
  using Value = rcl_interfaces::msg::ParameterValue;

  // The node sends `value` for parameter `name` of `node_name`.
  void Sent(const std::string& node_name, const std::string& name, const Value& value,
            Clock::time_point now);
  // The target took the value last sent: from now on it is the value that must hold.
  void Applied(const std::string& node_name, const std::string& name);
  // No longer in effect (withdrawn, refused): changes to it are no one's business.
  void Forget(const std::string& node_name, const std::string& name);

  enum class Seen {
    kNotManaged,  // not an item in effect
    kOwn,         // one of the node's own sets, or the value that must hold
    kDrifted,     // another party changed it away from the value that must hold
  };
  // An event from node `node_name` (as the tables name it: no leading '/') says parameter
  // `name` now has `value` (PARAMETER_NOT_SET: deleted).
  Seen Observe(const std::string& node_name, const std::string& name, const Value& value,
               Clock::time_point now);

  // What the node knows of one parameter; null when not in effect.
  struct Expected {
    Value value;  // what must hold, once applied
    Value last_sent;
    bool applied = false;  // a set was answered as taken
    std::deque<std::pair<Value, Clock::time_point>> in_flight;
  };
  const Expected* Find(const std::string& node_name, const std::string& name) const;
  size_t size() const { return params_.size(); }

private:
  std::map<std::pair<std::string, std::string>, Expected> params_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_EXPECTED_PARAMS_HPP_
