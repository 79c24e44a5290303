// The thin POSIX socket layer under discovery, the requesting operations and the server.
// Every function here works on blocking sockets whose waits are bounded by SO_RCVTIMEO and
// SO_SNDTIMEO; none of them throws.
#pragma once

#include <netinet/in.h>

#include <atomic>
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

// ---- TCP connection helpers ----

// Keep-alive timing of every TCP connection: a host that vanishes without closing (power
// loss, cable pulled) is given up after about idle + interval * count = 60 s. A live peer's
// kernel answers the probes however busy the program is, so this never cuts a legitimate wait.
inline constexpr int KeepAliveIdleSec = 30;
inline constexpr int KeepAliveIntervalSec = 5;
inline constexpr int KeepAliveProbes = 6;

// Sets SO_RCVTIMEO and SO_SNDTIMEO to AMs milliseconds. False when the system refuses.
bool SetSocketTimeouts(int AFd, int AMs);
// Keep-alive with the timing above, and no-delay so that small messages leave at once.
bool SetKeepAliveAndNoDelay(int AFd);
// Both of the above: how every connection, outgoing or accepted, is set up.
bool TuneTcpConnection(int AFd, int ATimeoutMs);

// What a receive does when one wait of SO_RCVTIMEO runs out without data.
enum class TRecvStall {
  WaitAgain,  // keep waiting while the connection is open (the requesting side)
  Fail,       // give up: the peer made no progress within the time-out (the server side)
};

// Reads exactly ACount bytes. False when the connection is closed, reset or fails first, or
// on a stall with TRecvStall::Fail. With WaitAgain, a given ACancel that is set also ends the
// wait (checked whenever a time-out runs out). EINTR is retried.
bool RecvFull(int AFd, void* ABuffer, size_t ACount, TRecvStall AStall,
              const std::atomic<bool>* ACancel = nullptr);
// Reads exactly ACount bytes into AOut (replacing its content), growing the buffer as bytes
// arrive so that a length announced by a peer is never allocated before it is received.
bool RecvFullInto(int AFd, TBytes& AOut, size_t ACount, TRecvStall AStall);
// Sends all ACount bytes with MSG_NOSIGNAL. False on any failure, including a send that makes
// no progress within SO_SNDTIMEO. AMore asks the kernel to hold the bytes back for the next
// send (MSG_MORE), so that a header and its body leave in the same segments.
bool SendFull(int AFd, const void* ABuffer, size_t ACount, bool AMore = false);

}  // namespace Pondar::Net
