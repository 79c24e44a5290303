#include "net/Interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>

namespace Pondar::Net {

std::vector<TIpv4Interface> ReadIpv4Interfaces() {
  std::vector<TIpv4Interface> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const ifaddrs* p = list; p; p = p->ifa_next) {
    if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
    TIpv4Interface item;
    item.Name = p->ifa_name ? p->ifa_name : "";
    item.Flags = p->ifa_flags;
    item.Address = reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr;
    if (p->ifa_netmask && p->ifa_netmask->sa_family == AF_INET)
      item.Netmask = reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr;
    // The broadcast and the far end of a point-to-point link share one field: only an interface
    // that can broadcast has a broadcast address in it.
    if ((p->ifa_flags & IFF_BROADCAST) && p->ifa_broadaddr &&
        p->ifa_broadaddr->sa_family == AF_INET)
      item.Broadcast = reinterpret_cast<const sockaddr_in*>(p->ifa_broadaddr)->sin_addr;
    out.push_back(std::move(item));
  }
  ::freeifaddrs(list);
  return out;
}

std::vector<sockaddr_in> BroadcastTargets(const std::vector<TIpv4Interface>& AInterfaces,
                                          uint16_t APort) {
  std::vector<sockaddr_in> out;
  for (const TIpv4Interface& item : AInterfaces) {
    if ((item.Flags & (IFF_UP | IFF_BROADCAST)) != (IFF_UP | IFF_BROADCAST)) continue;
    if (item.Flags & (IFF_LOOPBACK | IFF_POINTOPOINT)) continue;
    const uint32_t address = ntohl(item.Address.s_addr);
    const uint32_t mask = ntohl(item.Netmask.s_addr);
    uint32_t target = ntohl(item.Broadcast.s_addr);
    // "ip addr add 10.1.2.3/24" sets no broadcast address (getifaddrs then gives none or the
    // address itself), yet 10.1.2.255 is the subnet's broadcast to the kernel. A /31 or /32 has
    // no such address.
    if (target == 0 || target == address) target = (~mask) >= 3u ? (address | ~mask) : 0;
    if (target == 0 || target == INADDR_BROADCAST) continue;
    const bool known = std::any_of(out.begin(), out.end(), [&](const sockaddr_in& AOther) {
      return ntohl(AOther.sin_addr.s_addr) == target;
    });
    if (known) continue;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(APort);
    addr.sin_addr.s_addr = htonl(target);
    out.push_back(addr);
  }
  return out;
}

}  // namespace Pondar::Net
