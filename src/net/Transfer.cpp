#include "net/Transfer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace Pondar::Net {

namespace {

constexpr const char* TempSuffix = ".pondartmp";
constexpr int64_t EarlyWriteOutBytes = int64_t{1} << 20;

uint8_t TypeByte(TMessageType AType) {
  return static_cast<uint8_t>(AType);
}

// Type byte, 16-bit length and the text, as types 2 and 3 carry a path. A text longer than
// the field keeps the low 16 bits of its length and that many bytes, so that the framing the
// peer reads stays consistent (it refuses such a path anyway).
TBytes PathMessage(TMessageType AType, const RawUtf8& APath) {
  const auto len = static_cast<uint16_t>(APath.size());
  TBytes msg(3 + size_t{len});
  msg[0] = TypeByte(AType);
  PutLe16(&msg[1], len);
  std::memcpy(msg.data() + 3, APath.data(), len);
  return msg;
}

std::system_error FileError(int AErrno, const std::string& AWhat, const std::string& APath) {
  return std::system_error(AErrno, std::generic_category(), AWhat + " " + APath);
}

// Writes the whole block, retrying short writes and signals.
bool WriteAll(int AFd, const uint8_t* AData, size_t ACount) {
  while (ACount > 0) {
    const ssize_t n = ::write(AFd, AData, ACount);
    if (n > 0) {
      AData += n;
      ACount -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0) errno = EIO;
      return false;
    }
  }
  return true;
}

// Directory part of a local path: everything before the last "/".
std::string DirectoryPart(const std::string& APath) {
  const auto pos = APath.rfind('/');
  return pos == std::string::npos ? std::string() : APath.substr(0, pos);
}

}  // namespace

TSocket ConnectToPeer(const RawUtf8& AHost, uint16_t APort) {
  sockaddr_in addr{};
  if (!MakeIpv4Address(AHost, APort, addr)) return {};
  TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!sock) return {};

  // Non-blocking connect so that the 5 000 ms limit holds even for a host that never answers.
  if (::connect(sock.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return {};
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
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

  const int flags = ::fcntl(sock.Fd(), F_GETFL);
  if (flags < 0 || ::fcntl(sock.Fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) return {};
  if (!TuneTcpConnection(sock.Fd(), RequesterTimeoutMs)) return {};
  return sock;
}

bool RecvExact(const TSocket& ASock, void* ABuffer, size_t ACount) {
  return RecvFull(ASock.Fd(), ABuffer, ACount, TRecvStall::WaitAgain);
}

bool SendAll(const TSocket& ASock, const void* ABuffer, size_t ACount) {
  return SendFull(ASock.Fd(), ABuffer, ACount);
}

std::optional<TFileEntries> RequestFileList(const RawUtf8& AHost, uint16_t APort) {
  TSocket sock = ConnectToPeer(AHost, APort);
  if (!sock) return std::nullopt;
  const uint8_t request = TypeByte(TMessageType::mtFileList);
  if (!SendAll(sock, &request, 1)) return std::nullopt;
  uint8_t lenBytes[4];
  if (!RecvExact(sock, lenBytes, sizeof lenBytes)) return std::nullopt;
  const uint32_t len = GetLe32(lenBytes);
  if (len == 0 || len > MaxFileListBytes) return std::nullopt;
  // Decoded piece by piece as it arrives: the reply of a large share is as large as its list.
  TFileListDecoder decoder;
  TBytes piece(std::min<size_t>(len, size_t{256} * 1024));
  for (size_t left = len; left > 0;) {
    const size_t n = std::min(left, piece.size());
    if (!RecvFull(sock.Fd(), piece.data(), n, TRecvStall::WaitAgain)) return std::nullopt;
    decoder.Feed(piece.data(), n);
    left -= n;
  }
  sock.Close();
  return decoder.Take();
}

TReceivedFile::TReceivedFile(std::string ATargetPath)
    : FTargetPath(std::move(ATargetPath)), FTempPath(FTargetPath + TempSuffix) {}

TReceivedFile::TReceivedFile(TReceivedFile&& AOther) noexcept
    : FTargetPath(std::move(AOther.FTargetPath)),
      FTempPath(std::move(AOther.FTempPath)),
      FFd(std::exchange(AOther.FFd, -1)),
      FRemove(std::exchange(AOther.FRemove, false)) {}

TReceivedFile& TReceivedFile::operator=(TReceivedFile&& AOther) noexcept {
  TReceivedFile dropped(std::move(*this));  // what this held goes as a dropped download would
  FTargetPath = std::move(AOther.FTargetPath);
  FTempPath = std::move(AOther.FTempPath);
  FFd = std::exchange(AOther.FFd, -1);
  FRemove = std::exchange(AOther.FRemove, false);
  return *this;
}

TReceivedFile::~TReceivedFile() {
  CloseFd();
  if (FRemove) ::unlink(FTempPath.c_str());
}

bool TReceivedFile::Create() {
  FFd = ::open(FTempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (FFd < 0) return false;
  FRemove = true;
  return true;
}

bool TReceivedFile::CloseFd() {
  if (FFd < 0) return true;
  const int rc = ::close(FFd);
  FFd = -1;
  return rc == 0 || errno == EINTR;
}

void TReceivedFile::SetModifiedTime(double AModifiedUtc) const {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // access time untouched
  times[1].tv_sec = static_cast<time_t>(Core::DayCountToUnixSeconds(AModifiedUtc));
  times[1].tv_nsec = 0;
  if (FFd >= 0) ::futimens(FFd, times);
}

bool TReceivedFile::Finish(TFlush AFlush) {
  // On disk before it takes the final name: after a power cut the target holds either the old
  // content or the whole new one, never an empty file that peers would take for the new one.
  // Written out already, waiting on the file's own pages still reports its write errors.
  // EINVAL: a file system that cannot sync at all, where there is nothing better to do.
  constexpr unsigned WaitForWrite =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  const int rc = AFlush == TFlush::Own ? ::fdatasync(FFd)
                                       : ::sync_file_range(FFd, 0, 0, WaitForWrite);
  if (rc != 0 && errno != EINVAL) throw FileError(errno, "Unable to write to", FTempPath);
  if (!CloseFd()) throw FileError(errno, "Unable to write to", FTempPath);
  // rename(2) replaces an existing file atomically, so the target never goes missing. It
  // fails when the target is a folder; the complete temporary file then stays beside it.
  FRemove = false;
  return ::rename(FTempPath.c_str(), FTargetPath.c_str()) == 0;
}

bool TReceivedFile::FlushFileSystem() const {
  return FFd >= 0 && ::syncfs(FFd) == 0 && ::fdatasync(FFd) == 0;
}

std::optional<TReceivedFile> ReceiveFile(const RawUtf8& AHost, uint16_t APort,
                                         const RawUtf8& ARelPath,
                                         const TTransferProgressProc& AProgress,
                                         const std::string& ALocalPath,
                                         const std::atomic<bool>* ACancel) {
  TSocket sock = ConnectToPeer(AHost, APort);
  if (!sock) return std::nullopt;

  // A failed send shows up as a failed read of the size just below.
  const TBytes request = PathMessage(TMessageType::mtGetFile, ARelPath);
  SendAll(sock, request.data(), request.size());

  uint8_t sizeBytes[8];
  if (!RecvExact(sock, sizeBytes, sizeof sizeBytes)) return std::nullopt;
  const auto size = static_cast<int64_t>(GetLe64(sizeBytes));
  if (size < 0) return std::nullopt;  // -1: the peer has no such file

  // Local file errors are the caller's to see, but only after the peer has been let go.
  const auto fail = [&sock](const std::system_error& AError) {
    sock.Close();
    throw AError;
  };

  // The folder nearly always exists: it is made only when the file cannot be created for
  // want of it (ENOTDIR: a file stands where a folder on the way should be, said as such).
  TReceivedFile temp(ALocalPath);
  if (!temp.Create()) {
    const std::string dir = DirectoryPart(ALocalPath);
    if ((errno != ENOENT && errno != ENOTDIR) || dir.empty())
      fail(FileError(errno, "Unable to create", temp.FTempPath));
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) fail(FileError(ec.value(), "Unable to create folder", dir));
    if (!temp.Create()) fail(FileError(errno, "Unable to create", temp.FTempPath));
  }

  // One buffer per download: memory use does not grow with the file size.
  const auto buffer = std::make_unique<uint8_t[]>(TransferChunk);
  int64_t remaining = size;
  while (remaining > 0) {
    if (ACancel && ACancel->load(std::memory_order_relaxed)) return std::nullopt;
    const size_t block = static_cast<size_t>(std::min<int64_t>(remaining, TransferChunk));
    // A cut connection or a cancel: the temporary file goes away with `temp`.
    if (!RecvFull(sock.Fd(), buffer.get(), block, TRecvStall::WaitAgain, ACancel))
      return std::nullopt;
    // A partial temporary file is never of use, so a write error removes it as well.
    if (!WriteAll(temp.FFd, buffer.get(), block))
      fail(FileError(errno, "Unable to write to", temp.FTempPath));
    remaining -= static_cast<int64_t>(block);
    if (AProgress) AProgress(size - remaining, size);
  }
  sock.Close();
  // A large file starts being written out now: by the time Finish waits for the disk, most of
  // it is there. Small ones are left to go out together with the files received beside them,
  // rather than costing the disk a request each.
  if (size >= EarlyWriteOutBytes) ::sync_file_range(temp.FFd, 0, 0, SYNC_FILE_RANGE_WRITE);
  return temp;
}

bool DownloadFile(const RawUtf8& AHost, uint16_t APort, const RawUtf8& ARelPath,
                  const TTransferProgressProc& AProgress, const std::string& ALocalPath,
                  const std::atomic<bool>* ACancel) {
  auto received = ReceiveFile(AHost, APort, ARelPath, AProgress, ALocalPath, ACancel);
  return received && received->Finish();
}

void SendDeleteNotify(const RawUtf8& AHost, uint16_t APort, const RawUtf8& ARelPath) {
  TSocket sock = ConnectToPeer(AHost, APort);
  if (!sock) return;
  const TBytes msg = PathMessage(TMessageType::mtDeleteNotify, ARelPath);
  SendAll(sock, msg.data(), msg.size());
}

void ForEachPeerAtOnce(const Core::TPeerInfoDynArray& APeers,
                       const std::function<void(const Core::TPeerInfo& APeer)>& ASend) {
  std::vector<std::thread> sends;
  sends.reserve(APeers.size());
  for (const auto& peer : APeers) {
    try {
      sends.emplace_back([&ASend, &peer] { ASend(peer); });
    } catch (const std::system_error&) {
      ASend(peer);
    }
  }
  for (auto& send : sends) send.join();
}

void SendChangesNotify(const RawUtf8& AHost, uint16_t APort) {
  TSocket sock = ConnectToPeer(AHost, APort);
  if (!sock) return;
  const uint8_t msg = TypeByte(TMessageType::mtChangesNotify);
  SendAll(sock, &msg, 1);
}

void SendClipboardText(const RawUtf8& AHost, uint16_t APort, const RawUtf8& AText) {
  TSocket sock = ConnectToPeer(AHost, APort);
  if (!sock) return;
  // The four length bytes always go; the text only when there is some.
  const auto len = static_cast<uint32_t>(AText.size());
  TBytes msg(5 + size_t{len});
  msg[0] = TypeByte(TMessageType::mtClipboard);
  PutLe32(&msg[1], len);
  std::memcpy(msg.data() + 5, AText.data(), len);
  SendAll(sock, msg.data(), msg.size());
}

bool SendScreenFrame(const RawUtf8& AHost, uint16_t APort, const RawUtf8& APeerName,
                     const TBytes& AData) {
  TSocket sock = ConnectToPeer(AHost, APort);
  if (!sock) return false;
  const auto nameLen = static_cast<uint16_t>(APeerName.size());
  const auto payloadLen = static_cast<uint32_t>(AData.size());
  TBytes header(7 + size_t{nameLen});
  header[0] = TypeByte(TMessageType::mtScreenFrame);
  PutLe16(&header[1], nameLen);
  std::memcpy(header.data() + 3, APeerName.data(), nameLen);
  PutLe32(&header[3 + size_t{nameLen}], payloadLen);
  // The header is held back (MSG_MORE) so that it leaves together with the payload.
  if (!SendFull(sock.Fd(), header.data(), header.size(), payloadLen > 0)) return false;
  if (payloadLen > 0 && !SendAll(sock, AData.data(), payloadLen)) return false;
  return true;
}

}  // namespace Pondar::Net
