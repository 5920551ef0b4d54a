#ifndef CONFIG_CENTER_TARGET_TYPES_HPP_
#define CONFIG_CENTER_TARGET_TYPES_HPP_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config_center/param_service_clients.hpp"

namespace config_center {

// What each target node declared its parameters as, learnt through its standard parameter
// services (~/get_parameter_types, and ~/list_parameters when some names are undeclared) in
// one round per node for all the names config_center manages there. Kept until the node
// restarts or a call to it fails. Not set stands for "not declared": sent as a string.
class TargetTypes {
public:
  enum class Found {
    kKnown,      // *type holds the declared type (not set: undeclared, or no type service)
    kNoService,  // the node offers no ~/get_parameter_types (or is not running)
    kNoAnswer,   // it offers one but did not answer in time
    kShutdown,   // ROS is shutting down
  };

  // The declared type of `name` on `node_name`; asks the node for all of `managed` (which
  // holds `name`) unless `name` is known already.
  Found Find(const ParamCallContext& context, const std::string& node_name, const std::string& name,
             const std::vector<std::string>& managed, uint8_t* type);
  bool Knows(const std::string& node_name, const std::string& name) const;
  // For a node that serves set_parameters but no type services: all its names are strings.
  void SetUntyped(const std::string& node_name);
  void Forget(const std::string& node_name);

private:
  struct Declared {
    bool untyped = false;
    std::map<std::string, uint8_t> types;
  };
  Found Ask(const ParamCallContext& context, const std::string& node_name,
            const std::vector<std::string>& names, Declared* declared);

  std::map<std::string, Declared> nodes_;
  ParamServiceClients clients_;
};

}  // namespace config_center

#endif  // CONFIG_CENTER_TARGET_TYPES_HPP_
