#include "net/TcpServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/RelPath.h"
#include "fs/FileList.h"

namespace Pondar::Net {

namespace {

constexpr int BindAttempts = 11;
constexpr int BindRetryMs = 10;
constexpr int AcceptFailPauseMs = 50;
// Without an eventfd (the system refused one) the loop looks at the terminate flag this often.
constexpr int FallbackPollMs = 100;
// Accepts taken in one pass, so that the type bytes of waiting connections are looked at too.
constexpr int AcceptBurst = 32;

constexpr uint8_t MissingFileReply[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Closes a file descriptor on every way out of the block that opened it.
struct TFileCloser {
  int Fd;
  ~TFileCloser() { ::close(Fd); }
};

// Open failures that mean "there is no such file" rather than "it cannot be opened".
bool MeansMissing(int AErrno) {
  return AErrno == ENOENT || AErrno == ENOTDIR || AErrno == ENAMETOOLONG || AErrno == ELOOP;
}

}  // namespace

TTcpServerThread::TTcpServerThread(uint16_t APort, std::string ARootDir,
                                   std::shared_ptr<Fs::TFileList> AFiles)
    : TWorkerThread("TCP server"),
      FPort(APort),
      FRootDir(std::move(ARootDir)),
      FFiles(std::move(AFiles)),
      FWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TTcpServerThread::~TTcpServerThread() {
  Shutdown();
  WaitFor();
}

void TTcpServerThread::Shutdown() {
  Terminate();
  if (FWakeFd) {
    const uint64_t one = 1;
    // The eventfd is never read, so it stays readable and every later poll returns at once.
    [[maybe_unused]] const ssize_t n = ::write(FWakeFd.Fd(), &one, sizeof one);
  }
}

uint16_t TTcpServerThread::BoundPort() const {
  return FBoundPort.load(std::memory_order_acquire);
}

size_t TTcpServerThread::FrameReceiverCount() const {
  std::lock_guard lock(FFramesLock);
  return FActiveFrames;
}

// ---- server thread ----

void TTcpServerThread::Execute() {
  const auto pause = [this](int AMs) {
    pollfd pfd{FWakeFd.Fd(), POLLIN, 0};
    ::poll(&pfd, 1, AMs);
  };

  // Listen, retrying a little in case the port is still held by a socket that is closing.
  // SO_REUSEADDR lets a restarted peer bind while connections of its previous run sit in
  // TIME_WAIT; Linux still refuses a second socket listening on the port, so a second instance
  // cannot take it.
  int bindError = 0;
  for (int attempt = 0; attempt < BindAttempts && !Terminated(); ++attempt) {
    if (attempt > 0) pause(BindRetryMs);
    TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    const int on = 1;
    if (!sock || !MakeIpv4Address("0.0.0.0", FPort, addr) ||
        ::setsockopt(sock.Fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(sock.Fd(), SOMAXCONN) != 0) {
      bindError = errno;
      continue;
    }
    socklen_t len = sizeof addr;
    if (::getsockname(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      bindError = errno;
      continue;
    }
    FServerSock = std::move(sock);
    FBoundPort.store(ntohs(addr.sin_port), std::memory_order_release);
    break;
  }
  if (Terminated()) return;
  if (!FServerSock) {
    // The peer answers no requests for this run: its user must hear why.
    ReportProblem("TCP port " + std::to_string(FPort) + " cannot be opened (" +
                  std::strerror(bindError) + "): other peers cannot fetch files from here");
    return;
  }

  FRequestThread = std::thread([this] { RequestLoop(); });

  std::vector<pollfd> fds;
  while (!Terminated()) {
    ReapFrameReceivers();

    fds.clear();
    fds.push_back({FWakeFd.Fd(), POLLIN, 0});
    fds.push_back({FServerSock.Fd(), POLLIN, 0});
    for (const auto& entry : FUntyped) fds.push_back({entry.Conn.Sock.Fd(), POLLIN, 0});
    int timeout = FWakeFd ? -1 : FallbackPollMs;
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
      pollfd pfd{FWakeFd.Fd(), POLLIN, 0};
      ::poll(&pfd, 1, AcceptFailPauseMs);
      return;
    }
    if (!TuneTcpConnection(sock.Fd(), FRequestTimeLimitMs)) continue;
    if (FUntyped.size() >= MaxUntypedConnections) FUntyped.pop_front();
    TUntyped entry;
    entry.Conn.Sock = std::move(sock);
    entry.Conn.PeerIP = Ipv4Text(addr);
    entry.DeadlineTick = Core::GetTickCount64() + static_cast<uint64_t>(FRequestTimeLimitMs);
    FUntyped.push_back(std::move(entry));
  }
}

void TTcpServerThread::ReadTypeByte(TUntyped& AEntry, bool& ADone) {
  uint8_t type = 0;
  const ssize_t n = ::recv(AEntry.Conn.Sock.Fd(), &type, 1, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  ADone = true;
  if (n == 1) Dispatch(std::move(AEntry.Conn), type);
  // Closed or reset before its type byte: dropped without effect.
}

void TTcpServerThread::Dispatch(TConnection AConn, uint8_t AType) {
  if (AType >= static_cast<uint8_t>(TMessageType::mtFileList) &&
      AType <= static_cast<uint8_t>(TMessageType::mtClipboard)) {
    std::lock_guard lock(FRequestsLock);
    if (FRequests.size() >= MaxQueuedRequests) return;  // overloaded: refused by closing
    FRequests.push_back({std::move(AConn), AType});
    FRequestsChanged.notify_one();
    return;
  }
  if (AType == static_cast<uint8_t>(TMessageType::mtScreenFrame) && OnScreenFrame) {
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
  slot.Fd = AConn.Sock.Fd();
  try {
    slot.Thread = std::thread(&TTcpServerThread::ReceiveFrame, this, &slot, std::move(AConn.Sock));
    ++FActiveFrames;
  } catch (const std::system_error&) {
    FFrames.pop_back();  // no thread to spare: the frame is dropped
  }
}

void TTcpServerThread::ReceiveFrame(TFrameReceiver* ASelf, TSocket ASock) {
  // A failing handler ends only this frame.
  Core::RunReportingErrors([&] { ReceiveFrameBody(ASock.Fd()); }, "TCP server, receiving a frame",
                           OnProblem);
  // Closed under the lock, so that Shutdown never shuts down a descriptor number that has
  // meanwhile been reused for something else.
  std::lock_guard lock(FFramesLock);
  ASock.Close();
  ASelf->Fd = -1;
  ASelf->Done = true;
  --FActiveFrames;
}

void TTcpServerThread::ReceiveFrameBody(int AFd) {
  uint8_t field[4];
  RawUtf8 name;
  TBytes payload;
  bool ok = RecvFull(AFd, field, 2, TRecvStall::Fail);
  const uint16_t nameLen = ok ? GetLe16(field) : 0;
  ok = ok && nameLen <= MaxFrameName;
  if (ok && nameLen > 0) {
    name.resize(nameLen);
    ok = RecvFull(AFd, name.data(), nameLen, TRecvStall::Fail);
  }
  ok = ok && RecvFull(AFd, field, 4, TRecvStall::Fail);
  const uint32_t payloadLen = ok ? GetLe32(field) : 0;
  ok = ok && payloadLen > 0 && payloadLen <= MaxFramePayload;
  ok = ok && RecvFullInto(AFd, payload, payloadLen, TRecvStall::Fail);
  // A frame completed after Shutdown is dropped: its receiver is about to go away.
  if (ok && !Terminated()) OnScreenFrame(name, payload);
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
    if (FCurrentRequestFd >= 0) ::shutdown(FCurrentRequestFd, SHUT_RDWR);
  }
  FRequestsChanged.notify_all();
  if (FRequestThread.joinable()) FRequestThread.join();

  std::list<TFrameReceiver> receivers;
  {
    std::lock_guard lock(FFramesLock);
    // Their reads fail at once; a handler already running is waited for below.
    for (const auto& receiver : FFrames)
      if (receiver.Fd >= 0) ::shutdown(receiver.Fd, SHUT_RDWR);
    receivers.splice(receivers.end(), FFrames);
  }
  for (auto& receiver : receivers) receiver.Thread.join();
}

// ---- request thread: types 1 to 5, one after another ----

void TTcpServerThread::RequestLoop() {
  for (;;) {
    TRequest request;
    {
      std::unique_lock lock(FRequestsLock);
      FRequestsChanged.wait(lock, [this] { return FStopRequests || !FRequests.empty(); });
      if (FStopRequests) return;
      request = std::move(FRequests.front());
      FRequests.pop_front();
      FCurrentRequestFd = request.Conn.Sock.Fd();
    }
    // A failing handler or a full memory ends only this request.
    Core::RunReportingErrors([&] { HandleRequest(request); }, "TCP server, handling a request",
                             OnProblem);
    std::lock_guard lock(FRequestsLock);
    FCurrentRequestFd = -1;
    request.Conn.Sock.Close();
  }
}

void TTcpServerThread::HandleRequest(TRequest& ARequest) {
  const int fd = ARequest.Conn.Sock.Fd();
  switch (static_cast<TMessageType>(ARequest.Type)) {
    case TMessageType::mtFileList:
      ServeFileList(fd);
      break;
    case TMessageType::mtGetFile:
      ServeFile(fd);
      break;
    case TMessageType::mtDeleteNotify:
      TakeDeleteNotice(fd);
      break;
    case TMessageType::mtChangesNotify:
      // The message carries no port; the engine finds the peer by its address.
      if (OnChangesNotify) OnChangesNotify(ARequest.Conn.PeerIP, 0);
      break;
    case TMessageType::mtClipboard:
      TakeClipboardText(fd);
      break;
    default:
      break;
  }
}

void TTcpServerThread::ServeFileList(int AFd) {
  // Encoded once per change of the list, not once per request: the peers that pull it after
  // one change are sent the same bytes. Writers of the list wait only for the encoding, never
  // for the network.
  const std::shared_ptr<const TBytes> list =
      FFiles ? FFiles->Encoded(EncodeFileList) : std::make_shared<const TBytes>(EncodeFileList({}));
  uint8_t len[4];
  PutLe32(len, static_cast<uint32_t>(list->size()));
  if (!SendFull(AFd, len, sizeof len, true)) return;
  SendFull(AFd, list->data(), list->size());
}

bool TTcpServerThread::ReadRequestPath(int AFd, RawUtf8& AOut) {
  uint8_t lenBytes[2];
  if (!RecvFull(AFd, lenBytes, 2, TRecvStall::Fail)) return false;
  const uint16_t len = GetLe16(lenBytes);
  if (len > MaxRequestPath) return false;  // refused before a byte of it is read
  RawUtf8 path(len, '\0');
  if (len > 0 && !RecvFull(AFd, path.data(), len, TRecvStall::Fail)) return false;
  // The same rule as for every path a peer sends: nothing outside the shared folder.
  return Core::NormalizeRelPath(path, AOut);
}

void TTcpServerThread::ServeFile(int AFd) {
  RawUtf8 relPath;
  if (!ReadRequestPath(AFd, relPath)) return;

  // Joined as text, never as a path object: a leading "/" in the request must stay below the
  // shared folder. Without a shared folder there is nothing to serve.
  if (FRootDir.empty()) {
    SendFull(AFd, MissingFileReply, sizeof MissingFileReply);
    return;
  }
  std::string local = FRootDir;
  if (local.back() != '/') local += '/';
  local += relPath;

  // O_NONBLOCK: opening a FIFO that sits in the shared folder must not hang the request.
  const int fileFd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fileFd < 0) {
    if (MeansMissing(errno)) SendFull(AFd, MissingFileReply, sizeof MissingFileReply);
    return;  // exists but cannot be opened: the connection is closed without a reply
  }
  const TFileCloser closer{fileFd};
  struct stat st {};
  if (::fstat(fileFd, &st) != 0) return;
  if (!S_ISREG(st.st_mode)) {
    // A folder (or a device, a FIFO, ...) is not a file that can be shared.
    SendFull(AFd, MissingFileReply, sizeof MissingFileReply);
    return;
  }
  ::posix_fadvise(fileFd, 0, 0, POSIX_FADV_SEQUENTIAL);

  const int64_t size = st.st_size;
  uint8_t sizeBytes[8];
  PutLe64(sizeBytes, static_cast<uint64_t>(size));
  if (!SendFull(AFd, sizeBytes, sizeof sizeBytes, size > 0)) return;

  const auto buffer = std::make_unique<uint8_t[]>(TransferChunk);
  int64_t remaining = size;
  while (remaining > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(remaining, TransferChunk));
    size_t got = 0;
    while (got < want) {
      const ssize_t n = ::read(fileFd, buffer.get() + got, want - got);
      if (n < 0 && errno == EINTR) continue;
      // A read error, or the file shrank: close, and the requester sees a short body.
      if (n <= 0) return;
      got += static_cast<size_t>(n);
    }
    if (!SendFull(AFd, buffer.get(), want)) return;
    remaining -= static_cast<int64_t>(want);
  }
}

void TTcpServerThread::TakeDeleteNotice(int AFd) {
  RawUtf8 relPath;
  if (!ReadRequestPath(AFd, relPath)) return;
  if (OnDeleteNotify) OnDeleteNotify(relPath);
}

void TTcpServerThread::TakeClipboardText(int AFd) {
  uint8_t lenBytes[4];
  if (!RecvFull(AFd, lenBytes, 4, TRecvStall::Fail)) return;
  const uint32_t len = GetLe32(lenBytes);
  if (len == 0 || len > MaxClipboardBytes) return;
  TBytes text;
  if (!RecvFullInto(AFd, text, len, TRecvStall::Fail)) return;
  if (OnClipboardNotify) OnClipboardNotify(RawUtf8(text.begin(), text.end()));
}

}  // namespace Pondar::Net
