#ifndef CONFIG_CENTER_PARAM_SERVICE_NAME_HPP_
#define CONFIG_CENTER_PARAM_SERVICE_NAME_HPP_

#include <string>

namespace config_center {

// A node's standard parameter services that config_center calls: it sets through the first,
// and learns the declared types through the other two.
inline constexpr char kSetParameters[] = "set_parameters";
inline constexpr char kGetParameterTypes[] = "get_parameter_types";
inline constexpr char kListParameters[] = "list_parameters";

// "/" + node_name + "/" + service: a node in the root namespace, or a node_name holding its
// namespace path without the leading "/".
std::string ParamServiceName(const std::string& node_name, const char* service);

// Whether calls to `node_name` can ever be made. The client library refuses an invalid name,
// and would expand a substitution such as "{node}" into a name of its own choosing; neither
// can ever reach the node the item names. False with the reason in `why`.
bool IsValidNodeName(const std::string& node_name, std::string* why);

}  // namespace config_center

#endif  // CONFIG_CENTER_PARAM_SERVICE_NAME_HPP_
