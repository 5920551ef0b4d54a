#ifndef CONFIG_CENTER_BENCH_NODE_LOOPBACK_MULTICAST_HPP_
#define CONFIG_CENTER_BENCH_NODE_LOOPBACK_MULTICAST_HPP_

#include <string>

namespace config_center::bench {

// Cyclone's default discovery is multicast; lo comes up without the flag, so Cyclone would
// turn multicast off and discover over unicast instead. Only in a private namespace that
// holds nothing but lo does this turn it on. Returns a line for the output saying what it
// found or did; throws when lo's flags cannot be read or set.
std::string LoopbackMulticast();

}  // namespace config_center::bench

#endif  // CONFIG_CENTER_BENCH_NODE_LOOPBACK_MULTICAST_HPP_
