#include "net/Connection.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <utility>

#include "core/Limits.h"
#include "net/Protocol.h"

namespace Pondar::Net {

namespace {

// Keep-alive timing of every connection: a host that vanishes without closing (power loss,
// cable pulled) is given up after about idle + interval * count = 60 s. A live peer's kernel
// answers the probes however busy the program is, so this never cuts a legitimate wait.
constexpr int KeepAliveIdleSec = 30;
constexpr int KeepAliveIntervalSec = 5;
constexpr int KeepAliveProbes = 6;

bool SetIntOption(int AFd, int ALevel, int AName, int AValue) {
  return ::setsockopt(AFd, ALevel, AName, &AValue, sizeof AValue) == 0;
}

// SO_RCVTIMEO and SO_SNDTIMEO: every blocking wait of the socket ends after AMs.
bool SetWaitLimit(int AFd, int AMs) {
  timeval tv{};
  tv.tv_sec = AMs / 1000;
  tv.tv_usec = static_cast<suseconds_t>(AMs % 1000) * 1000;
  return ::setsockopt(AFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
         ::setsockopt(AFd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool SetBlocking(int AFd, bool ABlocking) {
  const int flags = ::fcntl(AFd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = ABlocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  return wanted == flags || ::fcntl(AFd, F_SETFL, wanted) == 0;
}

// The requesting side's context, as the engine set it.
std::mutex RequesterTlsLock;
std::shared_ptr<const TTlsContext> RequesterTlsContext;

// For the reads and writes of a request, once the socket blocks. Read-ahead fills the
// session's buffer (several records, as the context sizes it) with one recv, where a record
// would otherwise cost two (its header, then its body). Nothing polls the socket from then on,
// so bytes held in that buffer cannot be missed by a wait for readiness; before that
// (handshake, type byte, the outbox's senders) a poll decides when to read, and read-ahead
// stays off. Buffers are kept for the session's life instead of freed and taken again around
// every record of a large transfer, which the context asks for so that idle connections hold
// none.
void TuneTlsForRequest(SSL* ASsl) {
  SSL_clear_mode(ASsl, SSL_MODE_RELEASE_BUFFERS);
  SSL_set_read_ahead(ASsl, 1);
}

// One TLS call at most this many bytes, as OpenSSL counts in int.
int TlsChunk(size_t ACount) {
  return static_cast<int>(std::min<size_t>(ACount, INT_MAX));
}

// One sendfile call at most this many bytes: the deadline is looked at between calls.
constexpr int64_t SendFileStep = int64_t{8} << 20;

// sendfile has no MSG_NOSIGNAL: a peer that went away would raise SIGPIPE, which kills a
// process that does not ignore it. Blocked on this thread while one is held, and a
// SIGPIPE raised meanwhile is taken off again, unless one was already waiting before.
class TPipeSignalHold {
 public:
  TPipeSignalHold() {
    sigemptyset(&FSet);
    sigaddset(&FSet, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
    FBlocked = pthread_sigmask(SIG_BLOCK, &FSet, &FOld) == 0;
  }
  ~TPipeSignalHold() {
    if (!FBlocked) return;
    if (!FWasPending) {
      const timespec now{};
      while (sigtimedwait(&FSet, nullptr, &now) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
  }
  TPipeSignalHold(const TPipeSignalHold&) = delete;
  TPipeSignalHold& operator=(const TPipeSignalHold&) = delete;

 private:
  sigset_t FSet{};
  sigset_t FOld{};
  bool FWasPending = false;
  bool FBlocked = false;
};

}  // namespace

void TConnection::TSslFree::operator()(SSL* ASsl) const {
  SSL_free(ASsl);
}

void TConnection::SetRequesterTls(std::shared_ptr<const TTlsContext> ATls) {
  std::lock_guard lock(RequesterTlsLock);
  RequesterTlsContext = std::move(ATls);
}

std::shared_ptr<const TTlsContext> TConnection::RequesterTls() {
  std::lock_guard lock(RequesterTlsLock);
  return RequesterTlsContext;
}

TConnection::TConnection(TSocket ASock, RawUtf8 APeerIP, int AStallMs,
                         std::shared_ptr<const TTlsContext> ATls)
    : TConnection(std::move(ASock), std::move(APeerIP), TRecvStall::Fail, AStallMs) {
  // The handshake must not hold up the thread that accepts, so the socket does not block until
  // ReadByteNow has seen it through.
  if (FSock && ATls && !(SetBlocking(FSock.Fd(), false) && StartTls(std::move(ATls), true)))
    FSock.Close();
}

bool TConnection::StartTls(std::shared_ptr<const TTlsContext> ATls, bool AServer) {
  FTls.reset(ATls->NewSession(FSock.Fd(), AServer));
  if (!FTls) return false;
  FTlsContext = std::move(ATls);
  FTlsWantsRead = AServer;  // the client speaks first
  FTlsBlocking = false;
  return true;
}

bool TConnection::TlsMustWait(int AResult) {
  switch (SSL_get_error(FTls.get(), AResult)) {
    case SSL_ERROR_WANT_READ:
      FTlsWantsRead = true;
      return true;
    case SSL_ERROR_WANT_WRITE:
      FTlsWantsRead = false;
      return true;
    default:
      // A failed handshake, a record that does not verify, a reset: OpenSSL's reasons are of no
      // use to the caller, and must not pile up for the next call on this thread.
      ERR_clear_error();
      return false;
  }
}

short TConnection::PollEvents(short AUnencrypted) const {
  if (!FTls) return AUnencrypted;
  return FTlsWantsRead ? POLLIN : POLLOUT;
}

bool TConnection::KernelTlsSend() const {
  return FTls && BIO_get_ktls_send(SSL_get_wbio(FTls.get())) != 0;
}

bool TConnection::Handshake(uint64_t ADeadlineTick) {
  for (;;) {
    const int rc = SSL_do_handshake(FTls.get());
    if (rc == 1) return true;
    if (!TlsMustWait(rc)) return false;
    const uint64_t now = Core::GetTickCount64();
    if (now >= ADeadlineTick) return false;
    pollfd pfd{FSock.Fd(), static_cast<short>(FTlsWantsRead ? POLLIN : POLLOUT), 0};
    if (::poll(&pfd, 1, static_cast<int>(ADeadlineTick - now)) < 0 && errno != EINTR) return false;
  }
}

TConnection::TConnection(TSocket ASock, RawUtf8 APeerIP, TRecvStall AStall, int AStallMs)
    : FSock(std::move(ASock)), FPeerIP(std::move(APeerIP)), FStall(AStall), FStallMs(AStallMs) {
  if (FSock && !Tune()) FSock.Close();
}

bool TConnection::Tune() {
  // Keep-alive as above, and no-delay so that small messages leave at once.
  const int fd = FSock.Fd();
  FWaitMs = FStallMs;
  return SetWaitLimit(fd, FStallMs) && SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
         SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, KeepAliveIdleSec) &&
         SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, KeepAliveIntervalSec) &&
         SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, KeepAliveProbes) &&
         SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
}

namespace {

// A non-blocking socket whose connection to AHost:APort has been started (or made, on
// loopback); AInProgress tells which. Invalid when it cannot be started.
TSocket StartConnect(const RawUtf8& AHost, uint16_t APort, bool& AInProgress) {
  AInProgress = false;
  sockaddr_in addr{};
  if (!MakeIpv4Address(AHost, APort, addr)) return {};
  TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!sock) return {};
  if (::connect(sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return {};
    AInProgress = true;
  }
  return sock;
}

}  // namespace

TConnection TConnection::ConnectStart(const RawUtf8& AHost, uint16_t APort) {
  bool inProgress = false;
  TSocket sock = StartConnect(AHost, APort, inProgress);
  if (!sock) return {};
  TConnection conn;
  conn.FSock = std::move(sock);
  conn.FPeerIP = AHost;
  conn.FStall = TRecvStall::Fail;
  conn.FTlsContext = RequesterTls();
  return conn;
}

bool TConnection::ConnectDone() {
  int err = 0;
  socklen_t len = sizeof err;
  if (!FSock || ::getsockopt(FSock.Fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
    return false;
  // Keep-alive and no-delay as for every connection; its time limits are the caller's.
  FStallMs = RequesterTimeoutMs;
  if (!Tune()) return false;
  return !FTlsContext || StartTls(FTlsContext, false);
}

ssize_t TConnection::SendNow(const uint8_t* AData, size_t ACount) {
  if (FDeadlineTick != 0 && Core::GetTickCount64() >= DeadlineTick()) return -1;
  if (FTls) {
    // The first call sends the handshake's first flight; until it is through, calls return 0
    // and PollEvents says what to wait for.
    const int n = SSL_write(FTls.get(), AData, TlsChunk(ACount));
    if (n > 0) {
      FTlsWantsRead = false;
      Moved(static_cast<size_t>(n));
      return n;
    }
    return TlsMustWait(n) ? 0 : -1;
  }
  const ssize_t n = ::send(FSock.Fd(), AData, ACount, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) {
    Moved(static_cast<size_t>(n));
    return n;
  }
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

TConnection TConnection::Connect(const RawUtf8& AHost, uint16_t APort,
                                 std::shared_ptr<const TTlsContext> ATls) {
  bool inProgress = false;
  TSocket sock = StartConnect(AHost, APort, inProgress);
  if (!sock) return {};

  // Non-blocking connect so that the 5 000 ms limit holds even for a host that never answers.
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
  const uint64_t deadlineTick = Core::GetTickCount64() + static_cast<uint64_t>(ConnectTimeoutMs);
  if (inProgress) {
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return {};
      pollfd pfd{sock.Fd(), POLLOUT, 0};
      const int rc = ::poll(&pfd, 1, static_cast<int>(left));
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return {};
      break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(sock.Fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return {};
  }

  TConnection conn(std::move(sock), AHost, TRecvStall::WaitAgain, RequesterTimeoutMs);
  if (!conn) return {};
  // The handshake on the still non-blocking socket, so that a peer that accepts and then says
  // nothing costs the connect time-out and no more.
  if (ATls && !(conn.StartTls(std::move(ATls), false) && conn.Handshake(deadlineTick))) return {};
  if (!SetBlocking(conn.FSock.Fd(), true)) return {};
  conn.FTlsBlocking = true;
  if (conn.FTls) TuneTlsForRequest(conn.FTls.get());
  return conn;
}

bool TConnection::SetStallLimit(int AMs) {
  FStallMs = AMs;
  FWaitMs = AMs;
  return FSock && SetWaitLimit(FSock.Fd(), AMs);
}

void TConnection::SetDeadline(uint64_t ATick, uint32_t AMinBytesPerSec) {
  FDeadlineTick = ATick;
  FMinRate = AMinBytesPerSec;
  FMoved = 0;
  FStallCapMs = 0;
  // Waits shortened for an earlier deadline get the stall limit back.
  if (ATick == 0 && FWaitMs < FStallMs && FSock && SetWaitLimit(FSock.Fd(), FStallMs))
    FWaitMs = FStallMs;
}

void TConnection::SetRequestBudget(int ABaseMs) {
  const uint64_t now = Core::GetTickCount64();
  SetDeadline(now + static_cast<uint64_t>(std::max(ABaseMs, 1)),
              Core::Limits::MinTransferBytesPerSec);
  FStallCapMs = std::max(ABaseMs, 1);
  FLastMoveTick = now;
}

void TConnection::Moved(size_t ACount) {
  FMoved += ACount;
  if (FStallCapMs > 0) FLastMoveTick = Core::GetTickCount64();
}

uint64_t TConnection::DeadlineTick() const {
  if (FDeadlineTick == 0) return 0;
  uint64_t tick = FDeadlineTick + (FMinRate > 0 ? FMoved * 1000 / FMinRate : 0);
  if (FStallCapMs > 0) tick = std::min(tick, FLastMoveTick + static_cast<uint64_t>(FStallCapMs));
  return tick;
}

bool TConnection::OutOfTime() const {
  return FDeadlineTick != 0 && Core::GetTickCount64() >= DeadlineTick();
}

bool TConnection::BeforeWait() {
  if (FDeadlineTick == 0) return true;
  const uint64_t now = Core::GetTickCount64();
  const uint64_t deadline = DeadlineTick();
  if (now >= deadline) return false;
  // Waits end at the deadline at the latest. Set only when it comes closer than the stall
  // limit, so that a connection without a near deadline costs no extra system call.
  const int wait = static_cast<int>(std::min<uint64_t>(deadline - now, FStallMs));
  if (wait < FWaitMs) {
    if (!SetWaitLimit(FSock.Fd(), std::max(wait, 1))) return false;
    FWaitMs = wait;
  }
  return true;
}

TConnection::TPoll TConnection::ReadByteNow(uint8_t& AOut) {
  if (FTls) {
    // Drives the handshake until the first byte is in; after that the socket blocks, for the
    // reads and writes of the request that follow.
    if (FTlsBlocking) return TPoll::Nothing;  // only the accepting side reads its first byte so
    const int n = SSL_read(FTls.get(), &AOut, 1);
    if (n == 1) {
      if (!SetBlocking(FSock.Fd(), true)) return TPoll::Closed;
      FTlsBlocking = true;
      TuneTlsForRequest(FTls.get());
      return TPoll::Byte;
    }
    return TlsMustWait(n) ? TPoll::Nothing : TPoll::Closed;
  }
  const ssize_t n = ::recv(FSock.Fd(), &AOut, 1, MSG_DONTWAIT);
  if (n == 1) return TPoll::Byte;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return TPoll::Nothing;
  return TPoll::Closed;
}

bool TConnection::Read(void* ABuffer, size_t ACount) {
  auto* p = static_cast<uint8_t*>(ABuffer);
  size_t left = ACount;
  // After a wait that ran out with nothing read: a stall fails this read only when asked to,
  // or when the read was cancelled meanwhile.
  const auto waitAgain = [this] {
    return FStall != TRecvStall::Fail && !(FCancel && FCancel->load(std::memory_order_relaxed));
  };
  while (left > 0) {
    if (!BeforeWait()) return false;
    if (FTls) {
      // One record at a time; a wait that ran out or a signal is told apart by errno, which
      // the session leaves as the socket set it.
      errno = 0;
      const int n = SSL_read(FTls.get(), p, TlsChunk(left));
      if (n > 0) {
        p += n;
        left -= static_cast<size_t>(n);
        Moved(static_cast<size_t>(n));
        continue;
      }
      if (!TlsMustWait(n)) return false;
      if (errno == EINTR || waitAgain()) continue;
      return false;
    }
    // MSG_WAITALL lets one call fill a whole block; it still returns early on a time-out,
    // a signal or the end of the stream, which the loop below sorts out.
    const ssize_t n = ::recv(FSock.Fd(), p, left, MSG_WAITALL);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
      Moved(static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;  // orderly close before all bytes came
    if (errno == EINTR) continue;
    // Only a wait ran out; the connection itself is still open.
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitAgain()) continue;
    return false;  // reset, keep-alive gave the peer up, interrupted, ...
  }
  return true;
}

bool TConnection::SendRaw(const uint8_t* AData, size_t ACount, bool AMore) {
  const int flags = MSG_NOSIGNAL | (AMore ? MSG_MORE : 0);
  while (ACount > 0) {
    if (!BeforeWait()) return false;
    if (FTls) {
      errno = 0;
      const int n = SSL_write(FTls.get(), AData, TlsChunk(ACount));
      if (n > 0) {
        AData += n;
        ACount -= static_cast<size_t>(n);
        Moved(static_cast<size_t>(n));
        continue;
      }
      if (TlsMustWait(n) && errno == EINTR) continue;
      return false;  // no progress within the time-out, or the session failed
    }
    // A send blocked longer than the wait limit returns what it got out so far, or EAGAIN when
    // that is nothing: no progress within the time-out, which is a failure.
    const ssize_t n = ::send(FSock.Fd(), AData, ACount, flags);
    if (n > 0) {
      AData += n;
      ACount -= static_cast<size_t>(n);
      Moved(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

bool TConnection::Write(const void* AData, size_t ACount) {
  const auto* p = static_cast<const uint8_t*>(AData);
  if (FOut.size() + ACount <= OutBufferBytes && ACount < OutBufferBytes) {
    FOut.insert(FOut.end(), p, p + ACount);
    return true;
  }
  // What was gathered is held back so that it leaves together with what follows.
  if (!FOut.empty()) {
    if (!SendRaw(FOut.data(), FOut.size(), true)) return false;
    FOut.clear();
  }
  if (ACount >= OutBufferBytes) return SendRaw(p, ACount, false);
  FOut.assign(p, p + ACount);
  return true;
}

bool TConnection::Flush() {
  if (FOut.empty()) return true;
  const bool sent = SendRaw(FOut.data(), FOut.size(), false);
  FOut.clear();
  return sent;
}

bool TConnection::WriteFromFile(int AFileFd, int64_t ACount) {
  if (FTls && !KernelTlsSend()) return TOutStream::WriteFromFile(AFileFd, ACount);
  // Plain, or the kernel encrypts: the file goes from the page cache to the socket without
  // being copied through this process, which spares the CPU that copy costs.
  if (!Flush()) return false;
  off_t offset = ::lseek(AFileFd, 0, SEEK_CUR);
  if (offset < 0) return false;
  const TPipeSignalHold noSignal;
  while (ACount > 0) {
    if (!BeforeWait()) return false;
    errno = 0;
    const auto step = static_cast<size_t>(std::min(ACount, SendFileStep));
    ssize_t n;
    if (FTls) {
      n = SSL_sendfile(FTls.get(), AFileFd, offset, step, 0);
      if (n < 0 && !TlsMustWait(static_cast<int>(n))) return false;
    } else {
      off_t at = offset;
      n = ::sendfile(FSock.Fd(), AFileFd, &at, step);
      // A file that cannot be sent so (its file system reads no pages for it): through a
      // buffer, from where it stands.
      if (n < 0 && (errno == EINVAL || errno == ENOSYS) && ::lseek(AFileFd, offset, SEEK_SET) >= 0)
        return TOutStream::WriteFromFile(AFileFd, ACount);
    }
    if (n > 0) {
      offset += n;
      ACount -= n;
      Moved(static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;  // the file shrank
    if (errno == EINTR) continue;
    // A send blocked longer than the wait limit with nothing sent (EAGAIN), a reset, or a read
    // error of the file.
    return false;
  }
  return ::lseek(AFileFd, offset, SEEK_SET) >= 0;
}

void TConnection::Interrupt() const {
  if (FSock) ::shutdown(FSock.Fd(), SHUT_RDWR);
}

void TConnection::Close() {
  FOut.clear();
  // No close_notify: every message says its own length, so the end of the stream carries no
  // meaning, and a peer gone away must not hold the close up.
  FTls.reset();
  FSock.Close();
}

}  // namespace Pondar::Net
