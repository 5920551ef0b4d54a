#ifndef CONFIG_CENTER_TARGET_PARAMS_HPP_
#define CONFIG_CENTER_TARGET_PARAMS_HPP_

#include <map>
#include <string>

namespace config_center {

// The live parameter items of one node, by parameter name, each with the value in effect: a
// custom_config item over the global_config item of the same name. Read from the tables now.
// False when a table could not be read; a table that does not exist holds no items.
bool ReadTargetParams(const std::string& node_name, std::map<std::string, std::string>* params);

}  // namespace config_center

#endif  // CONFIG_CENTER_TARGET_PARAMS_HPP_
