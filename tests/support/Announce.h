// Telling an engine's discovery of a peer, as that peer's broadcast would, on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "net/Messages.h"

namespace PondarTest {

// One datagram of a peer named AName that serves on ATcpPort, to 127.0.0.1:AUdpPort.
inline void Announce(uint16_t AUdpPort, const std::string& AName, uint16_t ATcpPort,
                     double AUtcTime,
                     Pondar::Net::TDiscoveryKind AKind = Pondar::Net::TDiscoveryKind::dkAnnounce) {
  const auto datagram = Pondar::Net::BuildDiscoveryPacket(AKind, ATcpPort, AName, AUtcTime);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(AUdpPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
}

}  // namespace PondarTest
