// The machine's IPv4 interfaces, and the directed broadcast addresses that reach every network
// it is on. A send to 255.255.255.255 leaves by the one interface the routing table picks, so a
// machine on two networks (wired and wireless, a VPN, a container bridge) reaches the others
// only through their own broadcast addresses.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

#include "core/Types.h"

namespace Pondar::Net {

using Core::RawUtf8;

// One IPv4 address of one interface, as the system lists it. Addresses are in network order.
struct TIpv4Interface {
  RawUtf8 Name;
  unsigned Flags = 0;  // IFF_UP, IFF_BROADCAST, IFF_LOOPBACK, IFF_POINTOPOINT...
  in_addr Address{};
  in_addr Netmask{};
  in_addr Broadcast{};  // 0.0.0.0 or Address itself when none is configured
};

// Every IPv4 address of every interface, read afresh (getifaddrs). Empty when it cannot be read.
std::vector<TIpv4Interface> ReadIpv4Interfaces();

// The directed broadcast addresses on APort for the interfaces that are up and can broadcast,
// leaving out loopback and point-to-point links. Where an address was set without a broadcast
// address, the subnet's all-ones address stands in (the kernel routes it as the broadcast); a
// /31 or /32 has none. Each address comes once, in the order of AInterfaces, and never
// 255.255.255.255, which discovery sends to anyway.
std::vector<sockaddr_in> BroadcastTargets(const std::vector<TIpv4Interface>& AInterfaces,
                                          uint16_t APort);

}  // namespace Pondar::Net
