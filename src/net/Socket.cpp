#include "net/Socket.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

namespace Pondar::Net {

TSocket& TSocket::operator=(TSocket&& AOther) noexcept {
  if (this != &AOther) {
    Close();
    FFd = AOther.Release();
  }
  return *this;
}

void TSocket::Close() {
  if (FFd >= 0) {
    ::close(FFd);
    FFd = -1;
  }
}

int TSocket::Release() {
  const int fd = FFd;
  FFd = -1;
  return fd;
}

RawUtf8 Ipv4Text(const sockaddr_in& AAddr) {
  char buf[INET_ADDRSTRLEN] = {};
  if (!::inet_ntop(AF_INET, &AAddr.sin_addr, buf, sizeof buf)) return {};
  return buf;
}

bool MakeIpv4Address(const RawUtf8& AHost, uint16_t APort, sockaddr_in& AOut) {
  std::memset(&AOut, 0, sizeof AOut);
  AOut.sin_family = AF_INET;
  AOut.sin_port = htons(APort);
  return ::inet_pton(AF_INET, AHost.c_str(), &AOut.sin_addr) == 1;
}

}  // namespace Pondar::Net
