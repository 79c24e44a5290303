// Keyed mode in tests: TLS contexts made from keys of the test's own, the requesting side's
// context set for the length of a scope, and the raw client's Ask spoken inside TLS.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>

#include "net/Connection.h"
#include "net/Tls.h"
#include "support/RawSockets.h"

namespace PondarTest {

// A context for the key of 32 bytes ASeed, ASeed + 1, ...: tests tell keys apart by the seed.
inline std::shared_ptr<const Pondar::Net::TTlsContext> TestTls(uint8_t ASeed) {
  Pondar::Net::TTlsContext::TPsk key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(ASeed + i);
  auto tls = Pondar::Net::TTlsContext::Make(key);
  if (!tls) throw std::runtime_error("no TLS context");
  return tls;
}

// While it lives, this process connects to peers with ATls (null: plain), as the engine sets it.
class TRequesterTls {
 public:
  explicit TRequesterTls(std::shared_ptr<const Pondar::Net::TTlsContext> ATls) {
    Pondar::Net::TConnection::SetRequesterTls(std::move(ATls));
  }
  ~TRequesterTls() { Pondar::Net::TConnection::SetRequesterTls(nullptr); }
  TRequesterTls(const TRequesterTls&) = delete;
  TRequesterTls& operator=(const TRequesterTls&) = delete;
};

// Ask (support/RawSockets.h) over a connection keyed with ATls, or a plain one when it is null:
// one hand-made request, and every byte that comes back until the server closes or ATimeout
// has passed. A failed handshake is a close with nothing read.
inline TReply AskKeyed(uint16_t APort, const TBytes& ARequest,
                       std::shared_ptr<const Pondar::Net::TTlsContext> ATls,
                       std::chrono::milliseconds ATimeout = std::chrono::seconds(5)) {
  if (!ATls) return Ask(APort, ARequest, ATimeout);
  auto conn = Pondar::Net::TConnection::Connect(Loopback, APort, std::move(ATls));
  TReply reply;
  if (!conn) {
    reply.Closed = true;
    return reply;
  }
  conn.SetDeadline(Pondar::Core::GetTickCount64() + static_cast<uint64_t>(ATimeout.count()));
  if (conn.Write(ARequest.data(), ARequest.size())) conn.Flush();
  // One byte at a time: a read of more fails whole when the server closes in its middle.
  for (uint8_t byte = 0; conn.Read(&byte, 1);) reply.Bytes.push_back(byte);
  reply.Closed = !conn.OutOfTime();
  return reply;
}

}  // namespace PondarTest
