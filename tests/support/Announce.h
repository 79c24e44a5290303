// Telling an engine's discovery of a peer, as that peer's broadcast would, on loopback; and the
// datagrams of a hostile host: any name and port, from any socket, as fast as it likes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "net/Messages.h"
#include "net/Socket.h"

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

// ABytes from AFd to AIp:APort (broadcast addresses need SO_BROADCAST on AFd); false when the
// send failed.
inline bool SendDatagram(int AFd, const std::string& AIp, uint16_t APort,
                         const Pondar::Core::TBytes& ABytes) {
  sockaddr_in to{};
  return Pondar::Net::MakeIpv4Address(AIp, APort, to) &&
         ::sendto(AFd, ABytes.data(), ABytes.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(ABytes.size());
}

// What arrives at a socket: the bytes and the dotted address they came from. True ends a wait.
using TOnDatagram =
    std::function<bool(const Pondar::Core::TBytes& ABytes, const std::string& AFrom)>;

// Hands each datagram reaching AFd to AOnDatagram until it returns true (then true) or AFor
// has passed (then false).
inline bool ReceiveUntil(int AFd, std::chrono::milliseconds AFor, const TOnDatagram& AOnDatagram) {
  const auto end = std::chrono::steady_clock::now() + AFor;
  Pondar::Core::TBytes buffer(65536);
  for (auto now = std::chrono::steady_clock::now(); now < end;
       now = std::chrono::steady_clock::now()) {
    pollfd pfd{AFd, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
    if (::poll(&pfd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t got = ::recvfrom(AFd, buffer.data(), buffer.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (got < 0) continue;
    if (AOnDatagram(Pondar::Core::TBytes(buffer.begin(), buffer.begin() + got),
                    Pondar::Net::Ipv4Text(from)))
      return true;
  }
  return false;
}

// A host that floods: ADatagram from AFd to AIp:APort every AEvery, until AStop() holds (then
// true) or AFor has passed (then false). What reaches AFd in between goes to AOnDatagram, whose
// answer is ignored.
inline bool Storm(int AFd, const std::string& AIp, uint16_t APort,
                  const Pondar::Core::TBytes& ADatagram, std::chrono::milliseconds AEvery,
                  std::chrono::milliseconds AFor, const std::function<bool()>& AStop,
                  const TOnDatagram& AOnDatagram) {
  const auto end = std::chrono::steady_clock::now() + AFor;
  while (std::chrono::steady_clock::now() < end) {
    if (AStop()) return true;
    SendDatagram(AFd, AIp, APort, ADatagram);
    ReceiveUntil(AFd, AEvery, [&](const Pondar::Core::TBytes& ABytes, const std::string& AFrom) {
      AOnDatagram(ABytes, AFrom);
      return false;
    });
  }
  return AStop();
}

}  // namespace PondarTest
