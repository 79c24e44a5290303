// Fuzz target: the whole byte stream of one connection to a running TCP server.
//
// One server per process, on port 0, serving a temporary folder that holds a few files, a
// folder tree and a FIFO, with a short list of entries and every event bound to a counter.
// Per input: connect over 127.0.0.1, send the bytes (stopping when the server closes first),
// half-close, and read until the server closes. The input's first byte is the message type, so
// inputs cover types 1 to 6 and everything else.
//
// The reply and the events are checked against what the request asks for: the file list for
// type 1, the named file of the shared folder (or "missing") for type 2, one event for a
// whole type 3 to 6 message and none otherwise. After every input the temporary folder must be
// exactly as it was made. The same bytes then go through the message readers alone, in memory:
// each must take what the server acted on and refuse what it ignored. Once the client has sent everything and half-closed no request has
// anything left to wait for, so a connection still open after CloseDeadline is a hang; it is
// reported as a crash.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "FuzzCheck.h"
#include "core/RelPath.h"
#include "fs/FileList.h"
#include "net/Messages.h"
#include "net/TcpServer.h"

namespace {

namespace fs = std::filesystem;
using Pondar::Core::RawUtf8;
using Pondar::Core::TBytes;
using Pondar::Core::TFileEntries;
using Pondar::Core::TLightLock;
using Pondar::Net::EncodeFileList;
using Pondar::Net::GetLe16;
using Pondar::Net::GetLe32;
using Pondar::Net::MaxClipboardBytes;
using Pondar::Net::MaxFrameName;
using Pondar::Net::MaxFramePayload;
using Pondar::Net::MaxRequestPath;
using Pondar::Net::PutLe32;
using Pondar::Net::PutLe64;
using Pondar::Net::TMemInStream;
using Pondar::Net::TMessageType;
using Pondar::Net::TSocket;
using Pondar::Net::TTcpServerThread;
using Clock = std::chrono::steady_clock;

// The server's limit for a silent connection, lowered from 30 s so that a request that waits
// anyway costs seconds, not minutes. Still far above any real step on a loaded machine: once
// the client has half-closed, every read of the server ends at once.
constexpr int RequestTimeLimitMs = 5000;
// A connection still open this long after the half-close is a hang (six request time limits).
constexpr auto CloseDeadline = std::chrono::seconds(30);
// Far more than any reply from the small folder; more means the server sends what it should not.
constexpr size_t MaxReplyBytes = 1 << 20;

// The events, counted. Frames arrive on their own threads, the rest on the request thread.
struct TCounts {
  std::atomic<uint64_t> Deletes{0}, Changes{0}, Clipboards{0}, Frames{0};
};

// What the temporary folder holds, for seeing that nothing changed it.
using TTreeState = std::map<std::string, std::string>;

TTreeState TreeState(const fs::path& ADir) {
  TTreeState state;
  for (const auto& item : fs::recursive_directory_iterator(ADir)) {
    struct stat st {};
    if (::lstat(item.path().c_str(), &st) != 0) continue;
    state[item.path().lexically_relative(ADir).string()] =
        std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
        std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }
  return state;
}

void WriteFile(const fs::path& APath, const std::string& AContent) {
  std::ofstream out(APath, std::ios::binary);
  out << AContent;
}

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The server and its folder, made at the first input and removed at exit.
class THarness {
 public:
  THarness() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pondar-fuzz-XXXXXX";
    FUZZ_REQUIRE(::mkdtemp(pattern.data()) != nullptr, "a temporary folder can be made");
    FTemp = pattern;
    FRoot = FTemp / "shared";
    fs::create_directories(FRoot / "sub" / "deeper");
    fs::create_directories(FRoot / "empty folder");
    WriteFile(FRoot / "readme.txt", "Files in this folder are served to the fuzzer.\n");
    WriteFile(FRoot / "empty.bin", "");
    WriteFile(FRoot / "sub" / "notes.md", "# notes\n\nsecond line\n");
    std::string binary;
    for (int i = 0; i < 600; ++i) binary.push_back(static_cast<char>(i * 7));
    WriteFile(FRoot / "sub" / "deeper" / "data.bin", binary);
    WriteFile(FRoot / "caf\xC3\xA9.txt", "caf\xC3\xA9\n");
    // A name with a backslash: requests turn "\" into "/", so it can never be asked for.
    WriteFile(FRoot / "back\\slash.txt", "unreachable\n");
    // Opening a FIFO must not block the request thread.
    FUZZ_REQUIRE(::mkfifo((FRoot / "pipe").c_str(), 0600) == 0, "a FIFO can be made");
    // Beside the shared folder, where no request may reach.
    WriteFile(FTemp / "outside.txt", "outside the shared folder\n");
    FState = TreeState(FTemp);

    FEntries = {
        {"readme.txt", 48, 45000.5, RawUtf8(64, 'a')},
        {"sub/notes.md", 21, 45001.25, ""},
        {"sub/deeper/data.bin", 600, 45002.0, "0123456789abcdef0123456789abcdef"},
        {"caf\xC3\xA9.txt", 6, 45003.75, RawUtf8(64, 'f')},
    };
    FFiles->Replace(FEntries);
    const TBytes list = EncodeFileList(FEntries);
    FListReply.resize(4);
    PutLe32(FListReply.data(), static_cast<uint32_t>(list.size()));
    FListReply.insert(FListReply.end(), list.begin(), list.end());
    TMemInStream reply(FListReply);
    FUZZ_REQUIRE(Pondar::Net::ReadFileListReply(reply) == FEntries,
                 "the type 1 reply reads back as the entries it was made of");

    FServer = std::make_unique<TTcpServerThread>(0, FRoot.string(), FFiles);
    FServer->SetRequestTimeLimit(RequestTimeLimitMs);
    FServer->OnDeleteNotify = [this](const RawUtf8&) { ++Counts.Deletes; };
    FServer->OnChangesNotify = [this](const RawUtf8&) { ++Counts.Changes; };
    FServer->OnClipboardNotify = [this](const RawUtf8&) { ++Counts.Clipboards; };
    FServer->OnScreenFrame = [this](const RawUtf8&, const RawUtf8&, const TBytes&) {
      ++Counts.Frames;
    };
    FServer->Start();
    const auto deadline = Clock::now() + CloseDeadline;
    while (FServer->BoundPort() == 0 && FServer->Running() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    FPort = FServer->BoundPort();
    FUZZ_REQUIRE(FPort != 0, "the server listens");
  }

  ~THarness() {
    FServer.reset();  // stops and waits for every server thread before the folder goes
    RemoveFolder();
  }

  void RemoveFolder() {
    std::error_code ignored;
    if (!FTemp.empty()) fs::remove_all(FTemp, ignored);
  }

  uint16_t Port() const { return FPort; }
  const fs::path& Root() const { return FRoot; }
  const TBytes& ListReply() const { return FListReply; }
  bool TreeUnchanged() const { return TreeState(FTemp) == FState; }

  TCounts Counts;

 private:
  fs::path FTemp, FRoot;
  TTreeState FState;
  TFileEntries FEntries;
  std::shared_ptr<Pondar::Fs::TFileList> FFiles = std::make_shared<Pondar::Fs::TFileList>();
  TBytes FListReply;
  std::unique_ptr<TTcpServerThread> FServer;
  uint16_t FPort = 0;
};

THarness* GHarness = nullptr;

THarness& Harness() {
  // Made on first use and destroyed at exit: the server stops before the folder is removed.
  static THarness harness;
  if (!GHarness) {
    GHarness = &harness;
    PondarFuzz::BeforeFailure = [] { GHarness->RemoveFolder(); };
  }
  return harness;
}

// ---- the client ----

struct TExchange {
  TBytes Reply;
  bool Closed = false;  // the server closed the connection (orderly or by reset)
  bool Reset = false;   // by reset: what it sent last may have been lost
};

// Sends AData while reading, half-closes once everything is out (or the server closed first),
// and reads until the server closes or CloseDeadline passes.
TExchange Exchange(uint16_t APort, const uint8_t* AData, size_t ASize) {
  TExchange ex;
  // Non-blocking from the start: libFuzzer's time-out alarm interrupts blocking calls (a
  // blocking connect then fails with EINTR), while a poll is simply repeated.
  TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  FUZZ_REQUIRE(sock.Valid(), "a client socket can be made");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(APort);
  ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  const auto deadline = Clock::now() + CloseDeadline;
  const auto msLeft = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  };
  int error = 0;
  if (::connect(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      pollfd pfd{sock.Fd(), POLLOUT, 0};
      while (::poll(&pfd, 1, static_cast<int>(std::max<long long>(msLeft(), 0))) < 0 &&
             errno == EINTR) {
      }
      socklen_t len = sizeof error;
      if (pfd.revents == 0)
        error = ETIMEDOUT;
      else if (::getsockopt(sock.Fd(), SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    }
  }
  if (error != 0) {
    std::fprintf(stderr, "connect to 127.0.0.1:%u: %s\n", APort, std::strerror(error));
    FUZZ_REQUIRE(false, "the server accepts connections");
  }

  size_t sent = 0;
  bool sending = true;
  const auto stopSending = [&] {
    sending = false;
    ::shutdown(sock.Fd(), SHUT_WR);
  };
  if (ASize == 0) stopSending();

  uint8_t buffer[65536];
  for (;;) {
    const auto left = msLeft();
    if (left <= 0) return ex;
    pollfd pfd{sock.Fd(), static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;

    if (sending && (pfd.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = ::send(sock.Fd(), AData + sent, ASize - sent, MSG_NOSIGNAL);
      if (n > 0) {
        sent += static_cast<size_t>(n);
        if (sent == ASize) stopSending();
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        stopSending();  // the server closed before taking everything
      }
    }
    if ((pfd.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = ::recv(sock.Fd(), buffer, sizeof buffer, 0);
      if (n > 0) {
        ex.Reply.insert(ex.Reply.end(), buffer, buffer + n);
        FUZZ_REQUIRE(ex.Reply.size() <= MaxReplyBytes, "a reply is no larger than the folder");
      } else if (n == 0) {
        ex.Closed = true;
        return ex;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        ex.Closed = ex.Reset = true;
        return ex;
      }
    }
  }
}

// ---- what each request should do ----

struct TExpected {
  TBytes Reply;
  uint64_t Deletes = 0, Changes = 0, Clipboards = 0, Frames = 0;
};

// The bytes after the type byte.
struct TBody {
  const uint8_t* Data;
  size_t Size;
  bool Has(size_t AOffset, size_t ACount) const {
    return AOffset <= Size && ACount <= Size - AOffset;
  }
};

// A type 2 or 3 path as the server should take it: whole, not too long, and accepted by the one
// rule for paths from peers (which the file-list target puts to the test on its own). A type 2
// request may name the shared folder itself, with the empty path.
std::optional<RawUtf8> RequestPath(const TBody& ABody, bool AEmptyIsFolder = false) {
  if (!ABody.Has(0, 2)) return std::nullopt;
  const size_t len = GetLe16(ABody.Data);
  if (len == 0 && AEmptyIsFolder) return RawUtf8();
  if (len > MaxRequestPath || !ABody.Has(2, len)) return std::nullopt;
  RawUtf8 path;
  if (!Pondar::Core::NormalizeRelPath(
          std::string_view(reinterpret_cast<const char*>(ABody.Data + 2), len), path))
    return std::nullopt;
  return path;
}

TBytes MissingReply() {
  return TBytes(8, 0xFF);
}

// A regular file's size and content; "missing" for anything that is not one.
TBytes FileReply(const fs::path& ARoot, const RawUtf8& APath) {
  const std::string local = ARoot.string() + "/" + APath;
  struct stat st {};
  if (::stat(local.c_str(), &st) != 0) {
    const bool missing =
        errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP;
    return missing ? MissingReply() : TBytes{};
  }
  if (!S_ISREG(st.st_mode)) return MissingReply();
  const std::string content = ReadFile(local);
  TBytes reply(8);
  PutLe64(reply.data(), content.size());
  reply.insert(reply.end(), content.begin(), content.end());
  return reply;
}

bool WholeClipboard(const TBody& ABody) {
  if (!ABody.Has(0, 4)) return false;
  const uint32_t len = GetLe32(ABody.Data);
  return len > 0 && len <= MaxClipboardBytes && ABody.Has(4, len);
}

bool WholeFrame(const TBody& ABody) {
  if (!ABody.Has(0, 2)) return false;
  const size_t nameLen = GetLe16(ABody.Data);
  if (nameLen > MaxFrameName || !ABody.Has(2, nameLen + 4)) return false;
  const uint32_t payloadLen = GetLe32(ABody.Data + 2 + nameLen);
  return payloadLen > 0 && payloadLen <= MaxFramePayload && ABody.Has(6 + nameLen, payloadLen);
}

TExpected Expect(const THarness& AHarness, const uint8_t* AData, size_t ASize) {
  TExpected expected;
  if (ASize == 0) return expected;
  const TBody body{AData + 1, ASize - 1};
  switch (static_cast<TMessageType>(AData[0])) {
    case TMessageType::mtFileList:
      expected.Reply = AHarness.ListReply();
      break;
    case TMessageType::mtGetFile:
      if (const auto path = RequestPath(body, true))
        expected.Reply = path->empty() ? MissingReply() : FileReply(AHarness.Root(), *path);
      break;
    case TMessageType::mtDeleteNotify:
      expected.Deletes = RequestPath(body) ? 1 : 0;
      break;
    case TMessageType::mtChangesNotify:
      expected.Changes = 1;
      break;
    case TMessageType::mtClipboard:
      expected.Clipboards = WholeClipboard(body) ? 1 : 0;
      break;
    case TMessageType::mtScreenFrame:
      expected.Frames = WholeFrame(body) ? 1 : 0;
      break;
    default:
      break;  // unknown types are closed at once
  }
  return expected;
}

// The body read by the reader of its type from memory, against what Expect made of it.
void ReadInMemory(uint8_t AType, const TBody& ABody) {
  TMemInStream in(ABody.Data, ABody.Size);
  const auto bytes = [&](size_t AOffset, size_t ACount) {
    return RawUtf8(reinterpret_cast<const char*>(ABody.Data) + AOffset, ACount);
  };
  switch (static_cast<TMessageType>(AType)) {
    case TMessageType::mtGetFile:
      FUZZ_REQUIRE(Pondar::Net::ReadGetFileRequest(in) == RequestPath(ABody, true),
                   "the type 2 reader takes the path the server serves");
      break;
    case TMessageType::mtDeleteNotify:
      FUZZ_REQUIRE(Pondar::Net::ReadDeleteNotify(in) == RequestPath(ABody),
                   "the type 3 reader takes the path the server raises");
      break;
    case TMessageType::mtClipboard: {
      const auto text = Pondar::Net::ReadClipboardText(in);
      FUZZ_REQUIRE((text && !text->empty()) == WholeClipboard(ABody),
                   "the type 5 reader takes every text the server raises, and no other");
      FUZZ_REQUIRE(!text || *text == bytes(4, text->size()), "the text is the bytes sent");
      break;
    }
    case TMessageType::mtScreenFrame: {
      const auto frame = Pondar::Net::ReadScreenFrame(in);
      FUZZ_REQUIRE((frame && !frame->Data.empty()) == WholeFrame(ABody),
                   "the type 6 reader takes every frame the server raises, and no other");
      FUZZ_REQUIRE(!frame || (frame->PeerName == bytes(2, frame->PeerName.size()) &&
                              frame->Data.size() == GetLe32(ABody.Data + 2 + frame->PeerName.size())),
                   "the frame is the name and payload sent");
      break;
    }
    default:
      break;  // types 1 and 4 have no body
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  THarness& harness = Harness();
  TCounts& counts = harness.Counts;
  const uint64_t deletes = counts.Deletes, changes = counts.Changes, clipboards = counts.Clipboards,
                 frames = counts.Frames;

  const TExchange ex = Exchange(harness.Port(), AData, ASize);
  FUZZ_REQUIRE(ex.Closed, "the server closes every connection once the client has half-closed");

  const TExpected expected = Expect(harness, AData, ASize);
  // A reset may cut the reply short, but what arrives is never other than what was sent.
  FUZZ_REQUIRE(ex.Reply.size() <= expected.Reply.size() &&
                   std::equal(ex.Reply.begin(), ex.Reply.end(), expected.Reply.begin()),
               "the reply is (the start of) what the request asks for");
  FUZZ_REQUIRE(ex.Reset || ex.Reply.size() == expected.Reply.size(),
               "an orderly close comes after the whole reply");
  // Events are raised before the connection is closed, so they are all counted by now.
  FUZZ_REQUIRE(counts.Deletes - deletes == expected.Deletes, "one delete event per valid notice");
  FUZZ_REQUIRE(counts.Changes - changes == expected.Changes, "one changes event per type 4");
  FUZZ_REQUIRE(counts.Clipboards - clipboards == expected.Clipboards,
               "one clipboard event per whole text");
  FUZZ_REQUIRE(counts.Frames - frames == expected.Frames, "one frame event per whole frame");
  FUZZ_REQUIRE(harness.TreeUnchanged(), "no request changes the temporary folder");

  if (ASize > 0) ReadInMemory(AData[0], TBody{AData + 1, ASize - 1});
  return 0;
}
