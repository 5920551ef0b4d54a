#ifndef CONFIG_CENTER_VALUE_DIGEST_HPP_
#define CONFIG_CENTER_VALUE_DIGEST_HPP_

#include <string>

namespace config_center {

// The SHA-256 of `bytes`, as 64 lower-case hex digits: what the node tells of a value
// instead of the value itself (file items are where teams keep keys).
std::string Sha256Hex(const std::string& bytes);

}  // namespace config_center

#endif  // CONFIG_CENTER_VALUE_DIGEST_HPP_
