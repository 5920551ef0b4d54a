#include "bench_node/loopback_multicast.hpp"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace config_center::bench {

std::string LoopbackMulticast() {
  // Asked of the kernel, not /sys, which still shows the namespace it was mounted in.
  std::vector<std::string> interfaces;
  if (struct if_nameindex* names = ::if_nameindex()) {
    for (struct if_nameindex* at = names; at->if_index != 0; ++at)
      interfaces.emplace_back(at->if_name);
    ::if_freenameindex(names);
  }
  const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  const bool read = sock >= 0 && ::ioctl(sock, SIOCGIFFLAGS, &request) == 0;
  if (sock >= 0) ::close(sock);
  if (!read) throw std::runtime_error("cannot read the flags of lo");
  if ((request.ifr_flags & IFF_MULTICAST) != 0) return "lo already carries multicast";
  if (interfaces.size() != 1 || interfaces[0] != "lo") {
    return "lo has no multicast and this is not a private namespace: left as it is "
           "(Cyclone falls back to unicast discovery)";
  }
  if (std::system("ip link set lo multicast on") != 0) {
    throw std::runtime_error("ip link set lo multicast on failed");
  }
  return "turned multicast on for lo (ip link set lo multicast on) so that Cyclone's default "
         "multicast discovery runs";
}

}  // namespace config_center::bench
