// Keyed mode in tests: TLS contexts made from keys of the test's own, and the requesting side's
// context set for the length of a scope.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>

#include "net/Connection.h"
#include "net/Tls.h"

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

}  // namespace PondarTest
