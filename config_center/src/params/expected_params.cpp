#include "params/expected_params.hpp"

#include <algorithm>

namespace config_center {

void ExpectedParams::Sent(const std::string& node_name, const std::string& name, const Value& value,
                          Clock::time_point now) {
  Expected& expected = params_[{node_name, name}];
  expected.last_sent = value;
  while (!expected.in_flight.empty() && now - expected.in_flight.front().second >= kInFlight) {
    expected.in_flight.pop_front();
  }
  expected.in_flight.emplace_back(value, now);
}

void ExpectedParams::Applied(const std::string& node_name, const std::string& name) {
  const auto it = params_.find({node_name, name});
  if (it == params_.end()) return;
  it->second.value = it->second.last_sent;
  it->second.applied = true;
}

void ExpectedParams::Forget(const std::string& node_name, const std::string& name) {
  params_.erase({node_name, name});
}

ExpectedParams::Seen ExpectedParams::Observe(const std::string& node_name, const std::string& name,
                                             const Value& value, Clock::time_point now) {
  const auto it = params_.find({node_name, name});
  if (it == params_.end()) return Seen::kNotManaged;
  Expected& expected = it->second;
  auto& in_flight = expected.in_flight;
  while (!in_flight.empty() && now - in_flight.front().second >= kInFlight) in_flight.pop_front();
  // The node's own set: it and every older one have been seen (events keep their order).
  const auto own = std::find_if(in_flight.begin(), in_flight.end(),
                                [&](const auto& sent) { return sent.first == value; });
  if (own != in_flight.end()) {
    in_flight.erase(in_flight.begin(), own + 1);
    return Seen::kOwn;
  }
  // Not yet taken (the first set is on its way): nothing holds yet to drift from.
  if (!expected.applied) return Seen::kOwn;
  return value == expected.value ? Seen::kOwn : Seen::kDrifted;
}

const ExpectedParams::Expected* ExpectedParams::Find(const std::string& node_name,
                                                     const std::string& name) const {
  const auto it = params_.find({node_name, name});
  return it == params_.end() ? nullptr : &it->second;
}

}  // namespace config_center
