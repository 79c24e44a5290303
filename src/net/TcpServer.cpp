#include "net/TcpServer.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace Pondar::Net {

namespace {

constexpr int BindAttempts = 11;
constexpr int BindRetryMs = 10;
constexpr int AcceptFailPauseMs = 50;
// Without an eventfd (the system refused one) the loop looks at the terminate flag this often.
constexpr int FallbackPollMs = 100;
// Accepts taken in one pass, so that the type bytes of waiting connections are looked at too.
constexpr int AcceptBurst = 32;

}  // namespace

TTcpServerThread::TTcpServerThread(uint16_t APort, std::string ARootDir,
                                   std::shared_ptr<Fs::TFileList> AFiles)
    : TWorkerThread("TCP server"),
      FPort(APort) {
  FServe.RootDir = std::move(ARootDir);
  FServe.Files = std::move(AFiles);
}

TTcpServerThread::~TTcpServerThread() {
  Terminate();
  WaitFor();
}

uint16_t TTcpServerThread::BoundPort() const {
  return FBoundPort.load(std::memory_order_acquire);
}

size_t TTcpServerThread::FrameReceiverCount() const {
  std::lock_guard lock(FFramesLock);
  return FActiveFrames;
}

bool TTcpServerThread::Listen() {
  if (FServerSock) return true;
  // Retried a little in case the port is still held by a socket that is closing.
  // SO_REUSEADDR lets a restarted peer bind while connections of its previous run sit in
  // TIME_WAIT; Linux still refuses a second socket listening on the port, so a second instance
  // cannot take it.
  for (int attempt = 0; attempt < BindAttempts && !Terminated(); ++attempt) {
    if (attempt > 0) {
      pollfd pfd{WakeFd(), POLLIN, 0};
      ::poll(&pfd, 1, BindRetryMs);
    }
    TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    const int on = 1;
    if (!sock || !MakeIpv4Address("0.0.0.0", FPort, addr) ||
        ::setsockopt(sock.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(sock.Fd(), SOMAXCONN) != 0) {
      FBindError = errno;
      continue;
    }
    socklen_t len = sizeof addr;
    if (::getsockname(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      FBindError = errno;
      continue;
    }
    FServerSock = std::move(sock);
    FBoundPort.store(ntohs(addr.sin_port), std::memory_order_release);
    return true;
  }
  return false;
}

// ---- server thread ----

void TTcpServerThread::Execute() {
  const auto pause = [this](int AMs) {
    pollfd pfd{WakeFd(), POLLIN, 0};
    ::poll(&pfd, 1, AMs);
  };

  if (!FServerSock && !Listen() && !Terminated()) {
    // The peer answers no requests for this run: its user must hear why.
    ReportProblem("TCP port " + std::to_string(FPort) + " cannot be opened (" +
                  std::strerror(FBindError) + "): other peers cannot fetch files from here");
    return;
  }
  if (Terminated()) return;

  // The events are fixed from Start on, so the request threads take them once. Clipboard texts
  // are handed on one at a time, in the order they were read: writing one into the clipboard
  // and noting it as received must not interleave with the next.
  FServe.OnDeleteNotify = OnDeleteNotify;
  FServe.OnChangesNotify = OnChangesNotify;
  if (OnClipboardNotify) {
    FServe.OnClipboardNotify = [this](const RawUtf8& AText) {
      std::lock_guard lock(FClipboardLock);
      OnClipboardNotify(AText);
    };
  }

  std::vector<pollfd> fds;
  while (!Terminated()) {
    ReapFrameReceivers();

    fds.clear();
    fds.push_back({WakeFd(), POLLIN, 0});
    fds.push_back({FServerSock.Fd(), POLLIN, 0});
    for (const auto& entry : FUntyped)
      fds.push_back({entry.Conn.PollFd(), entry.Conn.PollEvents(POLLIN), 0});
    int timeout = WakeFd() >= 0 ? -1 : FallbackPollMs;
    if (!FUntyped.empty()) {
      // All waiting connections have the same limit, so the oldest runs out first.
      const uint64_t now = Core::GetTickCount64();
      const uint64_t deadline = FUntyped.front().DeadlineTick;
      const int untilDeadline =
          deadline > now ? static_cast<int>(std::min<uint64_t>(deadline - now, 1u << 30)) : 0;
      timeout = timeout < 0 ? untilDeadline : std::min(timeout, untilDeadline);
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) pause(AcceptFailPauseMs);
    if (Terminated()) break;

    // Type bytes first, in the order the connections were accepted; then new connections.
    const uint64_t now = Core::GetTickCount64();
    std::deque<TUntyped> waiting;
    for (size_t i = 0; i < FUntyped.size(); ++i) {
      TUntyped& entry = FUntyped[i];
      bool done = false;
      if (fds[i + 2].revents != 0) ReadTypeByte(entry, done);
      if (!done && now >= entry.DeadlineTick) done = true;  // silent for too long: dropped
      if (!done) waiting.push_back(std::move(entry));
    }
    FUntyped = std::move(waiting);
    if (fds[1].revents != 0) AcceptPending();
  }

  StopHelpers();
}

void TTcpServerThread::AcceptPending() {
  for (int i = 0; i < AcceptBurst; ++i) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    TSocket sock(
        ::accept4(FServerSock.Fd(), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC));
    if (!sock) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      if (errno == EINTR || errno == ECONNABORTED) continue;
      // Out of descriptors or memory: pause rather than spin, but stay wakeable.
      pollfd pfd{WakeFd(), POLLIN, 0};
      ::poll(&pfd, 1, AcceptFailPauseMs);
      return;
    }
    TConnection conn(std::move(sock), Ipv4Text(addr), FRequestTimeLimitMs, FTls);
    if (!conn) continue;
    if (FUntyped.size() >= MaxUntypedConnections) FUntyped.pop_front();
    TUntyped entry;
    entry.Conn = std::move(conn);
    entry.DeadlineTick = Core::GetTickCount64() + static_cast<uint64_t>(FRequestTimeLimitMs);
    FUntyped.push_back(std::move(entry));
  }
}

void TTcpServerThread::ReadTypeByte(TUntyped& AEntry, bool& ADone) {
  uint8_t type = 0;
  const TConnection::TPoll got = AEntry.Conn.ReadByteNow(type);
  if (got == TConnection::TPoll::Nothing) return;
  ADone = true;
  if (got == TConnection::TPoll::Byte) Dispatch(std::move(AEntry.Conn), type);
  // Closed or reset before its type byte, or a failed handshake: dropped without effect.
}

void TTcpServerThread::Dispatch(TConnection AConn, uint8_t AType) {
  const std::optional<TMessageType> type = MessageTypeOf(AType);
  if (type && *type != TMessageType::mtScreenFrame) {
    std::lock_guard lock(FRequestsLock);
    if (FRequests.size() >= MaxQueuedRequests) return;  // overloaded: refused by closing
    FRequests.push_back({std::move(AConn), AType});
    // Another thread only when every one there is works on a request: an idle one takes it.
    if (FIdleRequestThreads < FRequests.size() && FRequestThreads.size() < MaxRequestsAtOnce) {
      try {
        FRequestThreads.emplace_back([this] { RequestLoop(); });
        ++FIdleRequestThreads;  // counted idle until it takes its first request
      } catch (const std::system_error&) {
        // No thread to spare: the threads there are serve the queue.
      }
    }
    FRequestsChanged.notify_one();
    return;
  }
  if (type == TMessageType::mtScreenFrame && OnScreenFrame) {
    StartFrameReceiver(std::move(AConn));
    return;
  }
  // Unknown type, or a frame nobody wants: closed at once without reading more.
}

// ---- frame receivers ----

void TTcpServerThread::StartFrameReceiver(TConnection AConn) {
  std::lock_guard lock(FFramesLock);
  if (FActiveFrames >= MaxFrameReceivers) return;  // closed at once while the cap is reached
  TFrameReceiver& slot = FFrames.emplace_back();
  slot.Conn = std::move(AConn);
  slot.Conn.SetRequestBudget(FRequestTimeLimitMs);
  try {
    slot.Thread = std::thread(&TTcpServerThread::ReceiveFrame, this, &slot);
    ++FActiveFrames;
  } catch (const std::system_error&) {
    FFrames.pop_back();  // no thread to spare: the frame is dropped
  }
}

void TTcpServerThread::ReceiveFrame(TFrameReceiver* ASelf) {
  // A failing handler ends only this frame. A frame completed after Terminate is dropped: its
  // receiver is about to go away.
  Core::RunReportingErrors(
      [&] {
        Net::ReceiveFrame(ASelf->Conn, ASelf->Conn.PeerIP(), OnScreenFrame,
                          [this] { return !Terminated(); });
      },
      "TCP server, receiving a frame", OnProblem);
  // Closed under the lock, so that a stop never shuts down a descriptor number that has
  // meanwhile been reused for something else.
  std::lock_guard lock(FFramesLock);
  ASelf->Conn.Close();
  ASelf->Done = true;
  --FActiveFrames;
}

void TTcpServerThread::ReapFrameReceivers() {
  std::list<TFrameReceiver> finished;
  {
    std::lock_guard lock(FFramesLock);
    for (auto it = FFrames.begin(); it != FFrames.end();) {
      const auto next = std::next(it);
      if (it->Done) finished.splice(finished.end(), FFrames, it);
      it = next;
    }
  }
  for (auto& receiver : finished) receiver.Thread.join();
}

void TTcpServerThread::StopHelpers() {
  FServerSock.Close();
  FUntyped.clear();

  {
    std::lock_guard lock(FRequestsLock);
    FStopRequests = true;
    FRequests.clear();
    for (const TConnection* conn : FInProgress) conn->Interrupt();
  }
  FRequestsChanged.notify_all();
  for (auto& thread : FRequestThreads) thread.join();
  FRequestThreads.clear();

  std::list<TFrameReceiver> receivers;
  {
    std::lock_guard lock(FFramesLock);
    // Their reads fail at once; a handler already running is waited for below.
    for (const auto& receiver : FFrames) receiver.Conn.Interrupt();
    receivers.splice(receivers.end(), FFrames);
  }
  for (auto& receiver : receivers) receiver.Thread.join();
}

// ---- request threads: types 1 to 5, side by side ----

void TTcpServerThread::RequestLoop() {
  for (;;) {
    TRequest request;
    {
      std::unique_lock lock(FRequestsLock);
      FRequestsChanged.wait(lock, [this] { return FStopRequests || !FRequests.empty(); });
      if (FStopRequests) return;
      request = std::move(FRequests.front());
      FRequests.pop_front();
      --FIdleRequestThreads;
      FInProgress.push_back(&request.Conn);
    }
    // The budget starts when a thread takes the request up: time spent in the queue is the
    // server's, not the requester's.
    request.Conn.SetRequestBudget(FRequestTimeLimitMs);
    // A failing handler or a full memory ends only this request.
    Core::RunReportingErrors(
        [&] {
          TConnection& conn = request.Conn;
          ServeRequest(static_cast<TMessageType>(request.Type), conn, conn, conn.PeerIP(), FServe);
        },
        "TCP server, handling a request", OnProblem);
    std::lock_guard lock(FRequestsLock);
    std::erase(FInProgress, &request.Conn);
    ++FIdleRequestThreads;
    request.Conn.Close();
  }
}

}  // namespace Pondar::Net
