// The requesting operations over real loopback sockets: against the real server, and against
// hand-made peers that send scripted (also broken) replies. The bytes of each request and the
// reading of each reply are the codec's, checked in memory (MessagesTest).
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "net/TcpServer.h"
#include "net/Transfer.h"
#include "support/Bytes.h"
#include "support/RawSockets.h"
#include "support/Recorder.h"
#include "support/ScriptedPeer.h"
#include "support/ServedFolder.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Pondar::Core::TBytes;
using Pondar::Core::TFileEntries;
using Pondar::Net::TSocket;
using Pondar::Net::TTcpServerThread;
using PondarTest::B;
using PondarTest::FreePort;
using PondarTest::Le64;
using PondarTest::Loopback;
using PondarTest::RandomText;
using PondarTest::ReadExactly;
using PondarTest::ReadUntilClosed;
using PondarTest::SendRaw;
using PondarTest::TRecorder;
using PondarTest::TScriptedPeer;
using Clock = std::chrono::steady_clock;

// A real server over a sandbox folder, and a second sandbox to download into.
class TransferTest : public ::testing::Test {
 protected:
  PondarTest::TServedFolder Remote;
  PondarTest::TSandbox Local;
  uint16_t Port = 0;

  void StartServer() {
    Port = Remote.Start();
    ASSERT_NE(Port, 0);
  }
  void TearDown() override { Remote.Stop(); }

  std::string LocalPath(const std::string& ARel) const { return Local.Str() + "/" + ARel; }
  bool LocalExists(const std::string& ARel) const { return fs::exists(Local.Path() / ARel); }
};

// ---- RequestFileList ----

TEST_F(TransferTest, RequestFileList_FromTheRealServer_EmptyIsNoFailure) {
  StartServer();
  EXPECT_EQ(Pondar::Net::RequestFileList(Loopback, Port), TFileEntries{});  // reached, none
  Remote.Entries = {{"a.txt", 5, 45000.25, std::string(64, 'f')}, {"sub/b", 0, 0, ""}};
  Remote.Publish();
  EXPECT_EQ(Pondar::Net::RequestFileList(Loopback, Port), Remote.Entries);
}

// A peer that is not there: no list, no download and nothing made here, a frame refused, and
// notices that return quietly, all at once.
TEST_F(TransferTest, UnreachablePeer_NothingDoneAndNothingWaitedFor) {
  const uint16_t port = FreePort();
  const auto start = Clock::now();
  EXPECT_EQ(Pondar::Net::RequestFileList(Loopback, port), std::nullopt);
  EXPECT_FALSE(Pondar::Net::DownloadFile(Loopback, port, "a", nullptr, LocalPath("a")));
  EXPECT_FALSE(Pondar::Net::SendScreenFrame(Loopback, port, "a", B({1})));
  Pondar::Net::SendDeleteNotify(Loopback, port, "a");
  Pondar::Net::SendChangesNotify(Loopback, port);
  Pondar::Net::SendClipboardText(Loopback, port, "t");
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_TRUE(fs::is_empty(Local.Path()));
}

// An empty file is made with its folders and no progress; a missing one makes nothing.
TEST_F(TransferTest, DownloadFile_EmptyFileMade_MissingFileMakesNothing) {
  Remote.Folder.Write("empty.txt", "");
  StartServer();
  int calls = 0;
  const auto progress = [&](int64_t, int64_t) { ++calls; };
  EXPECT_FALSE(Pondar::Net::DownloadFile(Loopback, Port, "nothere.txt", progress,
                                         LocalPath("sub/nothere.txt")));
  EXPECT_TRUE(fs::is_empty(Local.Path()));
  EXPECT_TRUE(Pondar::Net::DownloadFile(Loopback, Port, "empty.txt", progress,
                                        LocalPath("new/dir/empty.txt")));
  EXPECT_EQ(calls, 0);
  ASSERT_TRUE(fs::is_regular_file(Local.Path() / "new/dir/empty.txt"));
  EXPECT_EQ(fs::file_size(Local.Path() / "new/dir/empty.txt"), 0u);
  EXPECT_FALSE(LocalExists("new/dir/empty.txt.pondartmp"));
}

TEST_F(TransferTest, DownloadFile_LargeFileReplacesOldOneWithOrderedProgress) {
  const std::string content = RandomText(20u << 20, 1);
  Remote.Folder.Write("media/big.bin", content);
  Local.Write("media/big.bin", "old content");
  StartServer();

  std::vector<std::pair<int64_t, int64_t>> calls;
  std::string targetDuringTransfer;
  const auto progress = [&](int64_t AReceived, int64_t ATotal) {
    if (calls.empty()) targetDuringTransfer = Local.Read("media/big.bin");
    calls.emplace_back(AReceived, ATotal);
  };
  ASSERT_TRUE(Pondar::Net::DownloadFile(Loopback, Port, "media/big.bin", progress,
                                        LocalPath("media/big.bin")));
  EXPECT_EQ(targetDuringTransfer, "old content");  // replaced only once whole
  EXPECT_TRUE(Local.Read("media/big.bin") == content);
  EXPECT_FALSE(LocalExists("media/big.bin.pondartmp"));

  const auto size = static_cast<int64_t>(content.size());
  ASSERT_EQ(calls.size(), (content.size() + 65535) / 65536);
  int64_t previous = 0;
  for (const auto& [received, total] : calls) {
    EXPECT_EQ(total, size);
    EXPECT_GT(received, previous);
    EXPECT_LE(received - previous, 65536);
    previous = received;
  }
  EXPECT_EQ(calls.front().first, 65536);
  EXPECT_EQ(calls.back().first, size);
}

TEST_F(TransferTest, DownloadFile_CancelEndsAsFailureAndLeavesOldTarget) {
  Remote.Folder.Write("big.bin", RandomText(2u << 20, 2));
  Local.Write("big.bin", "keep me");
  StartServer();
  std::atomic<bool> cancel{false};
  int calls = 0;
  const auto progress = [&](int64_t, int64_t) {
    ++calls;
    cancel = true;
  };
  EXPECT_FALSE(Pondar::Net::DownloadFile(Loopback, Port, "big.bin", progress, LocalPath("big.bin"),
                                         &cancel));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(Local.Read("big.bin"), "keep me");
  EXPECT_FALSE(LocalExists("big.bin.pondartmp"));
  // The server goes on serving the next request.
  cancel = false;
  EXPECT_TRUE(
      Pondar::Net::DownloadFile(Loopback, Port, "big.bin", nullptr, LocalPath("big.bin"), &cancel));
}

TEST(DownloadFileTest, ConnectionCutMidBodyLeavesOldTargetAndNoTemp) {
  TScriptedPeer peer([](const TSocket& AConn, const std::atomic<bool>&) {
    ReadExactly(AConn, 3 + 5);
    SendRaw(AConn, Le64(200000) + TBytes(100000, 0xAB));  // half the body, then gone
  });
  const PondarTest::TSandbox local;
  local.Write("f.bin", "previous");
  int calls = 0;
  EXPECT_FALSE(Pondar::Net::DownloadFile(
      Loopback, peer.Port(), "f.bin", [&](int64_t, int64_t) { ++calls; }, local.Str() + "/f.bin"));
  EXPECT_GT(calls, 0);  // it was under way when the connection broke
  EXPECT_EQ(local.Read("f.bin"), "previous");
  EXPECT_FALSE(fs::exists(local.Path() / "f.bin.pondartmp"));
}

TEST_F(TransferTest, DownloadFile_TargetIsAFolder_FalseAndCompleteTempStays) {
  Remote.Folder.Write("thing", "complete body");
  fs::create_directories(Local.Path() / "thing" / "inside");
  StartServer();
  EXPECT_FALSE(Pondar::Net::DownloadFile(Loopback, Port, "thing", nullptr, LocalPath("thing")));
  EXPECT_TRUE(fs::is_directory(Local.Path() / "thing" / "inside"));
  EXPECT_EQ(Local.Read("thing.pondartmp"), "complete body");
}

// Makes the system call (a flush) fail with EIO on the calling thread alone (a seccomp filter,
// which other threads do not inherit): a disk that takes the bytes but cannot keep them.
bool FailOnThisThread(long ASyscall = SYS_fdatasync) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(ASyscall), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// A download that fails on this side's disk: an error that names what to mend, thrown once
// the peer has been let go, and the old file (or none) under the name, never a partial one.
TEST_F(TransferTest, DownloadFile_LocalFailures_ThrownWithTheirCause_OldTargetKept) {
  Remote.Folder.Write("a.txt", "abc");
  Remote.Folder.Write("big.bin", RandomText(600000, 4));
  fs::create_directories(Local.Path() / "a.txt.pondartmp");  // a folder in the temporary's way
  Local.Write("plain", "a file where a folder is needed");
  Local.Write("kept.txt", "the previous copy");
  StartServer();
  using TRun = std::function<void(const std::function<void()>&)>;
  const TRun here = [](const std::function<void()>& ADownload) { ADownload(); };
  const TRun fileSizeLimit = [](const std::function<void()>& ADownload) {
    // Files may grow to 200 000 bytes only: the temporary file's writes fail past that.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 200000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ADownload();
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
  };
  const TRun failingFlush = [](const std::function<void()>& ADownload) {
    std::thread([&] {
      ASSERT_TRUE(FailOnThisThread());
      ADownload();
    }).join();
  };
  struct TCase {
    const char* Name;
    const char* RemotePath;
    const char* LocalPath;
    TRun Run;
    const char* Said;
  };
  const TCase cases[] = {
      {"the temporary file cannot be made", "a.txt", "a.txt", here, "Unable to create "},
      {"a file stands where a folder must be", "a.txt", "plain/a.txt", here,
       "Unable to create folder"},
      {"a write fails", "big.bin", "big.bin", fileSizeLimit, "Unable to write to"},
      {"the flush before the rename fails", "a.txt", "kept.txt", failingFlush,
       "Unable to write to"},
  };
  for (const TCase& c : cases) {
    const std::string before = LocalExists(c.LocalPath) ? Local.Read(c.LocalPath) : "";
    std::string said = "no error";
    c.Run([&] {
      try {
        Pondar::Net::DownloadFile(Loopback, Port, c.RemotePath, nullptr, LocalPath(c.LocalPath));
      } catch (const std::runtime_error& AError) {
        said = AError.what();
      }
    });
    EXPECT_NE(said.find(c.Said), std::string::npos) << c.Name << ": " << said;
    EXPECT_EQ(LocalExists(c.LocalPath) ? Local.Read(c.LocalPath) : "", before) << c.Name;
    EXPECT_FALSE(fs::is_regular_file(Local.Path() / (std::string(c.LocalPath) + ".pondartmp")))
        << c.Name;
    // The request was let go: the server is free for the next one.
    EXPECT_TRUE(Pondar::Net::RequestFileList(Loopback, Port).has_value()) << c.Name;
  }
  EXPECT_EQ(Local.Read("plain"), "a file where a folder is needed");
}

// Received files flushed in one pass of their file system: only while the machine holds
// little else unwritten, and each file's own write error still keeps it from its name.
TEST_F(TransferTest, FlushInOnePass_OnlyOnAQuietDisk_EachFileKeepsItsError) {
  Remote.Folder.Write("a", "first");
  Remote.Folder.Write("b", "second");
  StartServer();
  struct TCase {
    const char* Name;
    uint64_t Unwritten;
    long Failing;  // a system call that fails, or -1
    bool OnePass;
    bool Placed;
  };
  const TCase cases[] = {
      {"a quiet disk", 0, -1, true, true},
      {"another program's data waiting", uint64_t{64} << 20, -1, false, true},
      {"the pass fails: each file flushed alone", 0, SYS_syncfs, false, true},
      {"a file's own write error", 0, SYS_sync_file_range, true, false},
  };
  for (const TCase& c : cases) {
    Local.Write("b", "old b");
    std::thread([&] {
      ASSERT_TRUE(c.Failing < 0 || FailOnThisThread(c.Failing));
      std::vector<Pondar::Net::TReceivedFile> got;
      for (const char* name : {"a", "b"}) {
        auto received = Pondar::Net::ReceiveFile(Loopback, Port, name, nullptr, LocalPath(name));
        ASSERT_TRUE(received) << c.Name;
        got.push_back(std::move(*received));
      }
      Pondar::Net::TReceivedFile* files[] = {&got[0], &got[1]};
      EXPECT_EQ(Pondar::Net::TReceivedFile::FlushInOnePass(files, c.Unwritten), c.OnePass)
          << c.Name;
      for (auto& file : got) {
        bool placed = false;
        try {
          placed = file.Finish();
        } catch (const std::system_error&) {
        }
        EXPECT_EQ(placed, c.Placed) << c.Name;
      }
    }).join();
    EXPECT_EQ(Local.Read("b"), c.Placed ? "second" : "old b") << c.Name;
  }
}

TEST(DownloadFileTest, LocalErrorIsThrownAfterTheConnectionIsClosed) {
  auto closedFirst = std::make_shared<std::atomic<bool>>(false);
  TScriptedPeer peer([closedFirst](const TSocket& AConn, const std::atomic<bool>&) {
    ReadExactly(AConn, 3 + 1);
    SendRaw(AConn, Le64(3) + B({'a', 'b', 'c'}));
    ReadUntilClosed(AConn);  // returns when the requester closes
    *closedFirst = true;
  });
  const PondarTest::TSandbox local;
  fs::create_directories(local.Path() / "x.pondartmp");
  try {
    Pondar::Net::DownloadFile(Loopback, peer.Port(), "x", nullptr, local.Str() + "/x");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error&) {
    EXPECT_TRUE(PondarTest::WaitFor([&] { return closedFirst->load(); }, 2s));
  }
}

// ---- notices, clipboard, frames ----

TEST_F(TransferTest, AllOperationsAgainstTheRealServer) {
  TRecorder<std::string> events;
  TTcpServerThread& server = Remote.Create();
  server.OnDeleteNotify = [&](const std::string& APath) { events.Add("delete " + APath); };
  server.OnChangesNotify = [&](const std::string& AIp) { events.Add("changes " + AIp); };
  server.OnClipboardNotify = [&](const std::string& AText) { events.Add("clip " + AText); };
  server.OnScreenFrame = [&](const std::string& AIp, const std::string& AName,
                             const TBytes& AData) {
    events.Add("frame " + AIp + " " + AName + " " + std::to_string(AData.size()));
  };
  StartServer();

  // The empty clipboard text is ignored by the server, so it must not show up.
  Pondar::Net::SendClipboardText(Loopback, Port, "");
  Pondar::Net::SendDeleteNotify(Loopback, Port, "x/y.txt");
  Pondar::Net::SendChangesNotify(Loopback, Port);
  Pondar::Net::SendClipboardText(Loopback, Port, "text");
  ASSERT_TRUE(Pondar::Net::SendScreenFrame(Loopback, Port, "me", TBytes(5000, 1)));
  const std::vector<std::string> expected = {"delete x/y.txt", "changes 127.0.0.1", "clip text",
                                             "frame 127.0.0.1 me 5000"};
  ASSERT_TRUE(PondarTest::WaitFor([&] { return events.Count() >= expected.size(); }));
  Remote.Stop();  // no handler runs past here
  std::vector<std::string> seen = events.All();
  std::sort(seen.begin(), seen.end());
  std::vector<std::string> sorted = expected;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(seen, sorted);
}

}  // namespace
