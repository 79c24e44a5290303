// The encryption of keyed mode: TLS 1.3 with an external pre-shared key, made from the network
// key, on every TCP connection. Only net/Connection uses it; everyone else sees a connection.
//
// Both sides hold the same 32-byte key and nothing else: no certificates. A peer without the key,
// or with another one, fails the handshake (its binder does not verify), so it neither reads nor
// writes a byte of a request. The key exchange is PSK with (EC)DHE only, so that a key learned
// later does not open traffic recorded before; the suites are AEAD only.
#pragma once

#include <openssl/ssl.h>

#include <array>
#include <cstdint>
#include <memory>

#include "net/NetworkKey.h"

namespace Pondar::Net {

// One OpenSSL context for the key, serving either side of a connection. Immutable once made and
// safe to share between threads: every connection takes a session of its own from it.
class TTlsContext {
 public:
  // The stream key of the network key (net/NetworkKey.h).
  using TPsk = TKeyBytes;

  // A context for APsk; nullptr when OpenSSL cannot set one up (out of memory, a library without
  // TLS 1.3).
  static std::shared_ptr<const TTlsContext> Make(const TPsk& APsk);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  // A session on the connected socket AFd, as the accepting (AServer) or the connecting side; the
  // handshake runs with its first read or write, or SSL_do_handshake. Null when OpenSSL fails.
  // The caller frees it with SSL_free; it does not own the descriptor.
  SSL* NewSession(int AFd, bool AServer) const;
  // The same without a descriptor, for the caller to give it BIOs of its own (memory, in tests).
  SSL* NewSession(bool AServer) const;

 private:
  TTlsContext() = default;
  static int UseSession(SSL* ASsl, const EVP_MD* AMd, const unsigned char** AId, size_t* AIdLen,
                        SSL_SESSION** ASession);
  static int FindSession(SSL* ASsl, const unsigned char* AId, size_t AIdLen,
                         SSL_SESSION** ASession);

  SSL_CTX* FCtx = nullptr;
  SSL_SESSION* FPsk = nullptr;  // the key as a resumable session, handed to every handshake
};

}  // namespace Pondar::Net
