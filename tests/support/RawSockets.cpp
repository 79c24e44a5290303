#include "support/RawSockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace PondarTest {

namespace {

using Clock = std::chrono::steady_clock;

// Up to ACount bytes, until the other side closes or ATimeout has passed.
TReply ReadUpTo(int AFd, size_t ACount, std::chrono::milliseconds ATimeout) {
  TReply reply;
  const auto deadline = Clock::now() + ATimeout;
  uint8_t buf[65536];
  while (reply.Bytes.size() < ACount && !reply.Closed) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{AFd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    const size_t want = std::min(sizeof buf, ACount - reply.Bytes.size());
    const ssize_t n = ::recv(AFd, buf, want, MSG_DONTWAIT);
    if (n > 0)
      reply.Bytes.insert(reply.Bytes.end(), buf, buf + n);
    else
      reply.Closed = n == 0 || (errno != EAGAIN && errno != EINTR);
  }
  return reply;
}

}  // namespace

uint16_t PortOf(const TSocket& ASock) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(ASock.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

uint16_t FreePort(int AType) {
  const TSocket probe(::socket(AF_INET, AType | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(probe.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
  return PortOf(probe);
}

TSocket ListenTcp(const char* AIp, int ABacklog) {
  TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  if (::inet_pton(AF_INET, AIp, &addr.sin_addr) != 1) return {};
  if (::bind(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  if (::listen(sock.Fd(), ABacklog) != 0) return {};
  return sock;
}

TSocket BindUnixSocket(const std::filesystem::path& APath) {
  TSocket sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = APath.string();
  if (path.size() >= sizeof addr.sun_path) return {};
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (::bind(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  return sock;
}

TSocket Dial(uint16_t APort, const char* AIp) {
  TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(APort);
  ::inet_pton(AF_INET, AIp, &addr.sin_addr);
  if (::connect(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  return sock;
}

bool SendRaw(const TSocket& ASock, const TBytes& AData) {
  size_t sent = 0;
  while (sent < AData.size()) {
    const ssize_t n = ::send(ASock.Fd(), AData.data() + sent, AData.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

TReply ReadUntilClosed(const TSocket& ASock, std::chrono::milliseconds ATimeout) {
  return ReadUpTo(ASock.Fd(), SIZE_MAX, ATimeout);
}

TBytes ReadExactly(const TSocket& ASock, size_t ACount, std::chrono::milliseconds ATimeout) {
  return ReadUpTo(ASock.Fd(), ACount, ATimeout).Bytes;
}

bool HasInput(const TSocket& ASock) {
  pollfd pfd{ASock.Fd(), POLLIN, 0};
  return ::poll(&pfd, 1, 0) > 0;
}

TReply Ask(uint16_t APort, const TBytes& ARequest, std::chrono::milliseconds ATimeout,
           const char* AIp) {
  const TSocket sock = Dial(APort, AIp);
  EXPECT_TRUE(sock.Valid()) << "connection to port " << APort << " refused";
  SendRaw(sock, ARequest);
  return ReadUntilClosed(sock, ATimeout);
}

}  // namespace PondarTest
