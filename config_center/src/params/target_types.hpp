#ifndef CONFIG_CENTER_TARGET_TYPES_HPP_
#define CONFIG_CENTER_TARGET_TYPES_HPP_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "params/param_calls.hpp"

namespace config_center {

// What each target node declared its parameters as, learnt through its standard parameter
// services (~/get_parameter_types, and ~/list_parameters when some names are undeclared) in
// one round per node for all the names config_center manages there. Kept until the node
// restarts or a call to it fails. Not set stands for "not declared": sent as a string.
class TargetTypes {
public:
  using Clock = std::chrono::steady_clock;
  enum class Found {
    kKnown,      // learnt (or, when the node changed its declarations meanwhile, strings)
    kNoService,  // the node offers no ~/get_parameter_types (or is not running)
    kNoAnswer,   // it offers one but did not answer in time
    kShutdown,   // ROS is shutting down
  };

  bool Knows(const std::string& node_name, const std::string& name) const;
  // The declared type of `name` on `node_name`; not set when undeclared or unknown.
  uint8_t TypeOf(const std::string& node_name, const std::string& name) const;
  // Asks `node_name` for the types of `managed`, in up to three calls that share `deadline`;
  // `done` gets the outcome, once, from a later callback (or at once when no call can start).
  void Learn(ParamCalls& calls, const std::string& node_name,
             const std::vector<std::string>& managed, Clock::time_point deadline,
             const std::function<void(Found)>& done);
  // For a node that serves set_parameters but no type services: all its names are strings.
  void SetUntyped(const std::string& node_name);
  void Forget(const std::string& node_name);

private:
  struct Declared {
    bool untyped = false;
    std::map<std::string, uint8_t> types;
  };
  // The types of `declared_names` (a part of `names`) as the node answered; the rest of
  // `names` is undeclared.
  void Store(const std::string& node_name, const std::vector<std::string>& names,
             const std::vector<std::string>& declared_names, const std::vector<uint8_t>& types);

  std::map<std::string, Declared> nodes_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_TARGET_TYPES_HPP_
