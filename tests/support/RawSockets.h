// Plain sockets for tests: a raw TCP client that sends hand-made bytes to 127.0.0.1 and reads
// back whatever arrives, a listening socket, and ports picked by the kernel.
//
// Every read blocks for its time-out at most and then returns what it has; nothing here throws.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "core/Types.h"
#include "net/Socket.h"

namespace PondarTest {

using Pondar::Core::TBytes;
using Pondar::Net::TSocket;

inline constexpr const char* Loopback = "127.0.0.1";

// ---- ports ----

// The local port ASock is bound to; 0 when it is not bound.
uint16_t PortOf(const TSocket& ASock);

// A port of AType (SOCK_STREAM or SOCK_DGRAM) that was free on every local address a moment
// ago: the kernel picks it for a probe bound to 0.0.0.0, and the probe is closed again. Nobody
// listens there, so a connection to it is refused. 0 when no probe could be bound.
uint16_t FreePort(int AType = SOCK_STREAM);

// A TCP socket listening on AIp (dotted IPv4) at a port the kernel picks (see PortOf), with a
// backlog of ABacklog. Invalid when it cannot be made. With a backlog of 0 one connection fills
// it, and the next connect waits out its time-out: a peer that does not answer.
TSocket ListenTcp(const char* AIp = Loopback, int ABacklog = 4);

// A Unix stream socket bound at APath: a node in a folder that open() fails on, even for root.
// Invalid when it cannot be made (a path too long for a socket address, one that exists).
TSocket BindUnixSocket(const std::filesystem::path& APath);

// ---- raw TCP client ----

// A blocking connection to AIp:APort; invalid when it is refused.
TSocket Dial(uint16_t APort, const char* AIp = Loopback);

// Sends all of AData (MSG_NOSIGNAL). False as soon as a send fails: a refusing server may close
// before everything is out.
bool SendRaw(const TSocket& ASock, const TBytes& AData);

struct TReply {
  TBytes Bytes;
  bool Closed = false;  // the other side closed (orderly or by reset) before the deadline
};

// Everything that arrives until the other side closes or ATimeout has passed.
TReply ReadUntilClosed(const TSocket& ASock,
                       std::chrono::milliseconds ATimeout = std::chrono::seconds(5));

// Exactly ACount bytes; fewer when the connection ends first or ATimeout passes.
TBytes ReadExactly(const TSocket& ASock, size_t ACount,
                   std::chrono::milliseconds ATimeout = std::chrono::seconds(5));

// True when bytes (or a close) are waiting. Never blocks.
bool HasInput(const TSocket& ASock);

// One request on a connection of its own to AIp:APort, and the server's whole answer up to its
// close (see ReadUntilClosed). A refused connection is a test failure.
TReply Ask(uint16_t APort, const TBytes& ARequest,
           std::chrono::milliseconds ATimeout = std::chrono::seconds(5),
           const char* AIp = Loopback);

}  // namespace PondarTest
