// The thin POSIX socket layer under discovery, the server and net/Connection: owning a socket
// descriptor, and IPv4 addresses as text. Bytes of a TCP connection go through TConnection only.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "core/Types.h"

namespace Pondar::Net {

using Core::RawUtf8;
using Core::TBytes;

// Owns one socket descriptor and closes it when it goes away.
class TSocket {
 public:
  TSocket() = default;
  explicit TSocket(int AFd) : FFd(AFd) {}
  TSocket(TSocket&& AOther) noexcept : FFd(AOther.Release()) {}
  TSocket& operator=(TSocket&& AOther) noexcept;
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;
  ~TSocket() { Close(); }

  int Fd() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  explicit operator bool() const { return Valid(); }
  void Close();
  int Release();

 private:
  int FFd = -1;
};

// The dotted text of an IPv4 address, without the port ("192.168.1.20").
RawUtf8 Ipv4Text(const sockaddr_in& AAddr);
// Builds an IPv4 socket address from dotted text; false when the text is not an IPv4 address.
bool MakeIpv4Address(const RawUtf8& AHost, uint16_t APort, sockaddr_in& AOut);

}  // namespace Pondar::Net
