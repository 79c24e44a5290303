#include "net/Socket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

namespace {

bool SetIntOption(int AFd, int ALevel, int AName, int AValue) {
  return ::setsockopt(AFd, ALevel, AName, &AValue, sizeof AValue) == 0;
}

}  // namespace

bool SetSocketTimeouts(int AFd, int AMs) {
  timeval tv{};
  tv.tv_sec = AMs / 1000;
  tv.tv_usec = static_cast<suseconds_t>(AMs % 1000) * 1000;
  return ::setsockopt(AFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
         ::setsockopt(AFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool SetKeepAliveAndNoDelay(int AFd) {
  return SetIntOption(AFd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
         SetIntOption(AFd, IPPROTO_TCP, TCP_KEEPIDLE, KeepAliveIdleSec) &&
         SetIntOption(AFd, IPPROTO_TCP, TCP_KEEPINTVL, KeepAliveIntervalSec) &&
         SetIntOption(AFd, IPPROTO_TCP, TCP_KEEPCNT, KeepAliveProbes) &&
         SetIntOption(AFd, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool TuneTcpConnection(int AFd, int ATimeoutMs) {
  return SetSocketTimeouts(AFd, ATimeoutMs) && SetKeepAliveAndNoDelay(AFd);
}

bool RecvFull(int AFd, void* ABuffer, size_t ACount, TRecvStall AStall,
              const std::atomic<bool>* ACancel) {
  auto* p = static_cast<uint8_t*>(ABuffer);
  size_t left = ACount;
  while (left > 0) {
    // MSG_WAITALL lets one call fill a whole block; it still returns early on a time-out,
    // a signal or the end of the stream, which the loop below sorts out.
    const ssize_t n = ::recv(AFd, p, left, MSG_WAITALL);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return false;  // orderly close before all bytes came
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Only a wait ran out; the connection itself is still open.
      if (AStall == TRecvStall::Fail) return false;
      if (ACancel && ACancel->load(std::memory_order_relaxed)) return false;
      continue;
    }
    return false;  // reset, keep-alive gave the peer up, shut down locally, ...
  }
  return true;
}

bool RecvFullInto(int AFd, TBytes& AOut, size_t ACount, TRecvStall AStall) {
  constexpr size_t Step = size_t{1} << 20;
  AOut.clear();
  while (AOut.size() < ACount) {
    const size_t have = AOut.size();
    const size_t take = std::min(Step, ACount - have);
    AOut.resize(have + take);
    if (!RecvFull(AFd, AOut.data() + have, take, AStall)) {
      AOut.clear();
      return false;
    }
  }
  return true;
}

bool SendFull(int AFd, const void* ABuffer, size_t ACount, bool AMore) {
  const auto* p = static_cast<const uint8_t*>(ABuffer);
  size_t left = ACount;
  const int flags = MSG_NOSIGNAL | (AMore ? MSG_MORE : 0);
  while (left > 0) {
    // A send blocked longer than SO_SNDTIMEO returns what it got out so far, or EAGAIN when
    // that is nothing: no progress within the time-out, which is a failure.
    const ssize_t n = ::send(AFd, p, left, flags);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

}  // namespace Pondar::Net
