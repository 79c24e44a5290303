// Fuzz target: what a host sends in place of a keyed peer's TLS handshake.
//
// The input is fed, in pieces whose sizes its first byte picks, to both sides of a handshake
// with the network key: as the requester's ClientHello and second flight to a keyed server, and
// as the server's answer to a keyed requester's ClientHello. Neither side may crash, leak or
// finish the handshake: without the key no input can prove itself, so every one ends in a
// failure or in waiting for more. The corpus holds flights recorded from our own peers, with
// the key and with another one.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "FuzzCheck.h"
#include "net/Tls.h"

namespace {

const std::shared_ptr<const Pondar::Net::TTlsContext>& Keyed() {
  static const auto tls = [] {
    Pondar::Net::TTlsContext::TPsk key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
    return Pondar::Net::TTlsContext::Make(key);
  }();
  return tls;
}

// Runs one side over memory BIOs with the input as all it ever receives.
void Drive(bool AServer, const uint8_t* AData, size_t ASize) {
  SSL* ssl = Keyed()->NewSession(AServer);
  FUZZ_REQUIRE(ssl != nullptr, "a session can be made");
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);  // the session owns both from here
  const size_t step = ASize > 0 ? AData[0] % 64 + 1 : 1;
  bool failed = false;
  for (size_t at = 0; !failed;) {
    const int rc = SSL_do_handshake(ssl);
    FUZZ_REQUIRE(rc != 1, "a handshake without the key never completes");
    const int err = SSL_get_error(ssl, rc);
    failed = err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE;
    if (at >= ASize) break;
    const size_t piece = std::min(step, ASize - at);
    BIO_write(in, AData + at, static_cast<int>(piece));
    at += piece;
  }
  uint8_t byte = 0;
  FUZZ_REQUIRE(SSL_read(ssl, &byte, 1) <= 0, "no byte is read through a failed handshake");
  SSL_free(ssl);
  ERR_clear_error();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  FUZZ_REQUIRE(Keyed() != nullptr, "the key gives a TLS context");
  Drive(true, AData, ASize);
  Drive(false, AData, ASize);
  return 0;
}
