#include "net/Tls.h"

#include <openssl/ssl.h>

#include <cstring>

namespace Pondar::Net {

namespace {

// The name under which the key is offered. Every peer uses the same one: the key, not the name,
// decides (a peer with another key fails on the binder that the name comes with).
constexpr unsigned char PskIdentity[] = "pondar network key";
constexpr size_t PskIdentityLen = sizeof PskIdentity - 1;

// TLS_AES_128_GCM_SHA256: the suite the key is bound to. The PSK's hash decides which suites it
// may be used with, so only suites on SHA-256 are offered; both are AEAD. AES-GCM first, as the
// kernel can take it over (kernel TLS).
constexpr unsigned char PskSuite[] = {0x13, 0x01};
constexpr char Suites[] = "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";

// A session's read buffer: room for several full records, so that read-ahead takes them with
// one recv (a connection turns read-ahead on once its request reads blocking).
constexpr size_t ReadBufferBytes = 65536;

}  // namespace

std::shared_ptr<const TTlsContext> TTlsContext::Make(const TPsk& APsk) {
  std::shared_ptr<TTlsContext> result(new TTlsContext());
  SSL_CTX* ctx = SSL_CTX_new(TLS_method());
  if (!ctx) return nullptr;
  result->FCtx = ctx;
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_ciphersuites(ctx, Suites) != 1 ||
      SSL_CTX_set1_groups_list(ctx, "X25519:P-256") != 1)
    return nullptr;
  // No resumption tickets: each connection is one request, and a ticket would be a second key
  // to keep; the server would also send it after the handshake, bytes the requester never reads.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  // SSL_OP_ALLOW_NO_DHE_KEX stays off: the handshake always adds an (EC)DHE exchange to the key.
  // Kernel TLS where this OpenSSL and kernel have it: files are then served by sendfile.
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_ENABLE_KTLS);
  // Partial writes, so that a non-blocking sender sees progress record by record; idle
  // connections give their buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_default_read_buffer_len(ctx, ReadBufferBytes);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_psk_use_session_callback(ctx, &TTlsContext::UseSession);
  SSL_CTX_set_psk_find_session_callback(ctx, &TTlsContext::FindSession);
  SSL_CTX_set_app_data(ctx, result.get());

  // The key as a session of TLS 1.3 bound to its suite, which is what OpenSSL hands the
  // handshake as an external PSK.
  SSL* probe = SSL_new(ctx);
  const SSL_CIPHER* suite = probe ? SSL_CIPHER_find(probe, PskSuite) : nullptr;
  SSL_free(probe);
  SSL_SESSION* session = suite ? SSL_SESSION_new() : nullptr;
  if (!session) return nullptr;
  result->FPsk = session;
  if (SSL_SESSION_set1_master_key(session, APsk.data(), APsk.size()) != 1 ||
      SSL_SESSION_set_cipher(session, suite) != 1 ||
      SSL_SESSION_set_protocol_version(session, TLS1_3_VERSION) != 1)
    return nullptr;
  return result;
}

TTlsContext::~TTlsContext() {
  SSL_SESSION_free(FPsk);
  SSL_CTX_free(FCtx);
}

SSL* TTlsContext::NewSession(bool AServer) const {
  SSL* ssl = SSL_new(FCtx);
  if (!ssl) return nullptr;
  if (AServer)
    SSL_set_accept_state(ssl);
  else
    SSL_set_connect_state(ssl);
  return ssl;
}

SSL* TTlsContext::NewSession(int AFd, bool AServer) const {
  SSL* ssl = NewSession(AServer);
  if (ssl && SSL_set_fd(ssl, AFd) != 1) {
    SSL_free(ssl);
    return nullptr;
  }
  return ssl;
}

int TTlsContext::UseSession(SSL* ASsl, const EVP_MD* AMd, const unsigned char** AId, size_t* AIdLen,
                            SSL_SESSION** ASession) {
  const auto* self = static_cast<const TTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ASsl)));
  *ASession = nullptr;
  // Asked again after a HelloRetryRequest with the hash of the suite chosen: the key is only
  // offered for its own.
  if (AMd && AMd != SSL_CIPHER_get_handshake_digest(SSL_SESSION_get0_cipher(self->FPsk))) return 1;
  if (SSL_SESSION_up_ref(self->FPsk) != 1) return 0;
  *ASession = self->FPsk;
  *AId = PskIdentity;
  *AIdLen = PskIdentityLen;
  return 1;
}

int TTlsContext::FindSession(SSL* ASsl, const unsigned char* AId, size_t AIdLen,
                             SSL_SESSION** ASession) {
  const auto* self = static_cast<const TTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ASsl)));
  *ASession = nullptr;
  // An unknown name is no key: the handshake then fails, as there is no certificate to fall back
  // on.
  if (AIdLen != PskIdentityLen || std::memcmp(AId, PskIdentity, AIdLen) != 0) return 1;
  if (SSL_SESSION_up_ref(self->FPsk) != 1) return 0;
  *ASession = self->FPsk;
  return 1;
}

}  // namespace Pondar::Net
