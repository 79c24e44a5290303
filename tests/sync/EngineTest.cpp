#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/Types.h"
#include "fs/FileList.h"
#include "fs/RecentDeletes.h"
#include "fs/Scanner.h"
#include "fs/Watcher.h"
#include "net/Connection.h"
#include "net/Messages.h"
#include "net/TcpServer.h"
#include "support/RawSockets.h"
#include "support/Recorder.h"
#include "support/ScriptedPeer.h"
#include "support/ServedFolder.h"
#include "support/TestSupport.h"
#include "sync/Engine.h"

namespace fs = std::filesystem;
using namespace Pondar;
using Core::TFileEntries;
using Core::TFileEntry;
using PondarTest::DayCount;
using PondarTest::TSandbox;
using PondarTest::WaitFor;

namespace {

constexpr int64_t BaseUnix = 1700000000;  // a whole second, far from "now"

// A peer that lists what the test says and answers every file request with the same five
// bytes, whatever the path: what a hostile peer would do to a requester that trusts its list.
// It serves one request at a time; AOnFileRequest runs before each file's answer.
class TLyingPeer {
 public:
  explicit TLyingPeer(TFileEntries AListed, std::function<void()> AOnFileRequest = {})
      : FList(Net::EncodeFileList(AListed)) {
    FThread = std::thread([this, AOnFileRequest = std::move(AOnFileRequest)] {
      while (!FStop) {
        pollfd pfd{FListen.Fd(), POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0) continue;
        Net::TConnection conn(Net::TSocket(::accept4(FListen.Fd(), nullptr, nullptr, SOCK_CLOEXEC)),
                              "", Net::ServerTimeoutMs);
        uint8_t type = 0;
        if (!conn || !conn.ReadU8(type)) continue;
        if (type == 1) {
          Net::WriteFileListReply(conn, FList);
        } else if (type == 2) {
          uint16_t len = 0;
          std::string path;
          if (conn.ReadLe16(len)) conn.ReadBytes(path, len);
          if (AOnFileRequest) AOnFileRequest();
          const Core::TBytes evil = {5, 0, 0, 0, 0, 0, 0, 0, 'E', 'V', 'I', 'L', '!'};
          conn.Write(evil.data(), evil.size());
          conn.Flush();
        }
      }
    });
  }
  ~TLyingPeer() {
    FStop = true;
    FThread.join();
  }
  uint16_t Port() const { return PondarTest::PortOf(FListen); }

 private:
  const Core::TBytes FList;
  Net::TSocket FListen = PondarTest::ListenTcp();
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// Makes a file immutable for the life of the object, so that not even root can delete it.
class TImmutableFile {
 public:
  explicit TImmutableFile(const fs::path& APath)
      : FFd(::open(APath.c_str(), O_RDONLY | O_CLOEXEC)) {
    int flags = 0;
    FSet = FFd >= 0 && ::ioctl(FFd, FS_IOC_GETFLAGS, &flags) == 0 &&
           ::ioctl(FFd, FS_IOC_SETFLAGS, &(flags |= FS_IMMUTABLE_FL)) == 0;
  }
  ~TImmutableFile() {
    int flags = 0;
    if (FSet && ::ioctl(FFd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(FFd, FS_IOC_SETFLAGS, &flags);
    }
    if (FFd >= 0) ::close(FFd);
  }
  bool Set() const { return FSet; }

 private:
  int FFd;
  bool FSet = false;
};

int64_t MTimeOf(const fs::path& APath) {
  struct stat st {};
  if (::stat(APath.c_str(), &st) != 0) return -1;
  return st.st_mtim.tv_sec;
}

class SyncEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Engine.RootDir = Local.Str();
    Engine.OnLog = [this](const Core::RawUtf8& AMsg) { LogLines.Add(AMsg); };
  }
  void AddLocal(const std::string& ARelPath, const std::string& AContent, int64_t AUnix) {
    const auto path = Local.Write(ARelPath, AContent);
    PondarTest::SetMTime(path, AUnix);
    Engine.Files->Store({ARelPath, static_cast<int64_t>(AContent.size()), DayCount(AUnix), ""});
  }
  std::vector<std::string> Logged() { return LogLines.All(); }
  Sync::TSyncStats SyncNow() { return Engine.SyncWithPeer("127.0.0.1", Port); }
  // A watcher of the local folder, handed the engine's suppressions and memory of deletes.
  std::shared_ptr<Fs::TFileWatcher> Watch() {
    return std::make_shared<Fs::TFileWatcher>(Local.Str(), Engine.Suppressions,
                                              Engine.RecentDeletes);
  }
  bool DeleteRemembered(const std::string& ARelPath) {
    return Engine.RecentDeletes->LastDelete(ARelPath, Core::GetTickCount64()) > 0;
  }

  TSandbox Local;
  PondarTest::TServedFolder Remote;
  uint16_t Port = 0;
  Sync::TSyncEngine Engine;
  PondarTest::TRecorder<std::string> LogLines;
};

}  // namespace

TEST_F(SyncEngineTest, SyncWithPeer_MissingFile_FetchedStampedListedAndLogged) {
  Remote.Put("docs/a.txt", "hello", BaseUnix);
  Port = Remote.Start();

  const auto stats = SyncNow();
  EXPECT_EQ(stats.Received, 1);
  EXPECT_EQ(Local.Read("docs/a.txt"), "hello");
  EXPECT_EQ(MTimeOf(Local.Path() / "docs/a.txt"), BaseUnix);
  ASSERT_EQ(Engine.Files->Size(), 1u);
  EXPECT_EQ(Engine.Files->Entries()[0].RelPath, "docs/a.txt");
  EXPECT_EQ(Engine.Files->Entries()[0].Size, 5);
  EXPECT_EQ(Logged(), std::vector<std::string>{"  \u2193 docs/a.txt (5 B)"});

  // Nothing changed on either side: a second sync fetches nothing.
  EXPECT_EQ(SyncNow().Received, 0);
}

// Enough files in enough folders for the receivers to share the list out and for the finishing
// thread to take them in batches, written out together: each arrives once, whole and stamped.
TEST_F(SyncEngineTest, SyncWithPeer_ManyFilesInNewFolders_EachInPlaceStampedAndListedOnce) {
  constexpr int Count = 121;  // not a multiple of the receivers
  const auto name = [](int AIndex) {
    return "d" + std::to_string(AIndex % 7) + "/e" + std::to_string(AIndex % 3) + "/f" +
           std::to_string(AIndex) + ".txt";
  };
  for (int i = 0; i < Count; ++i) Remote.Put(name(i), "content " + std::to_string(i), BaseUnix + i);
  Port = Remote.Start();

  EXPECT_EQ(SyncNow().Received, Count);
  EXPECT_EQ(Engine.Files->Size(), static_cast<size_t>(Count));
  for (int i = 0; i < Count; ++i) {
    EXPECT_EQ(Local.Read(name(i)), "content " + std::to_string(i));
    EXPECT_EQ(MTimeOf(Local.Path() / name(i)), BaseUnix + i) << name(i);
  }
  EXPECT_EQ(Logged().size(), static_cast<size_t>(Count));
}

TEST_F(SyncEngineTest, SyncWithPeer_DecisionTable) {
  struct TRow {
    const char* Name;
    int64_t LocalUnix;
    int64_t RemoteUnix;
    std::string LocalContent;
    std::string RemoteContent;
    const char* RemoteHash;  // "local" = the hash of the local content
    bool Fetched;
  };
  const std::vector<TRow> rows = {
      {"remote-newer-2s-same-size", BaseUnix, BaseUnix + 2, "aaaa", "bbbb", "", true},
      {"local-newer-2s", BaseUnix + 2, BaseUnix, "aaaa", "bbbbbb", "", false},
      {"local-newer-much", BaseUnix + 500, BaseUnix, "aa", "bbbbbbbb", "", false},
      {"1s-apart-same-size", BaseUnix, BaseUnix + 1, "aaaa", "bbbb", "", false},
      {"equal-times-sizes-differ-no-hash", BaseUnix, BaseUnix, "aaaa", "bbbbbb", "", true},
      {"equal-times-sizes-differ-hash-matches", BaseUnix, BaseUnix, "aaaa", "bbbbbb", "local",
       false},
      {"equal-times-sizes-differ-hash-differs", BaseUnix, BaseUnix, "aaaa", "bbbbbb",
       "0000000000000000000000000000000000000000000000000000000000000000", true},
  };
  for (const auto& row : rows) {
    AddLocal(row.Name, row.LocalContent, row.LocalUnix);
    auto& r = Remote.Put(row.Name, row.RemoteContent, row.RemoteUnix);
    if (std::string(row.RemoteHash) == "local") {
      r.Sha256 = Fs::HashFileSha256((Local.Path() / row.Name).string());
    } else {
      r.Sha256 = row.RemoteHash;
    }
  }
  Port = Remote.Start();

  int expected = 0;
  for (const auto& row : rows) expected += row.Fetched ? 1 : 0;
  EXPECT_EQ(SyncNow().Received, expected);
  for (const auto& row : rows) {
    EXPECT_EQ(Local.Read(row.Name), row.Fetched ? row.RemoteContent : row.LocalContent) << row.Name;
  }
}

TEST_F(SyncEngineTest, SyncWithPeer_CaseOnlyDifferentEntry_WrittenUnderTheLocalSpelling) {
  AddLocal("a/b.txt", "old", BaseUnix);
  Remote.Put("A/B.txt", "newer", BaseUnix + 10);
  Port = Remote.Start();
  EXPECT_EQ(SyncNow().Received, 1);
  ASSERT_EQ(Engine.Files->Size(), 1u);
  EXPECT_EQ(Engine.Files->Entries()[0].RelPath, "a/b.txt");
  EXPECT_EQ(Engine.Files->Entries()[0].Size, 5);
  // The list and the disk agree: the new bytes are in the file the list names.
  EXPECT_EQ(Local.Read("a/b.txt"), "newer");
  EXPECT_EQ(MTimeOf(Local.Path() / "a/b.txt"), BaseUnix + 10);
  EXPECT_FALSE(fs::exists(Local.Path() / "A"));
  EXPECT_EQ(Logged(), std::vector<std::string>{"  \u2193 a/b.txt (5 B)"});
}

TEST_F(SyncEngineTest, SyncWithPeer_TwoSpellingsListed_OneFileHereWhateverTheReceiversDo) {
  // Neighbours in the list go to different receivers at once; each pair must still end as
  // one file under one spelling, as the list holds it.
  for (int i = 0; i < 12; ++i) {
    Remote.Put("p" + std::to_string(i) + ".txt", "lower", BaseUnix);
    Remote.Put("P" + std::to_string(i) + ".TXT", "UPPER!", BaseUnix + 10);
  }
  Port = Remote.Start();
  SyncNow();
  EXPECT_EQ(Engine.Files->Size(), 12u);
  size_t onDisk = 0;
  for (const auto& entry : fs::directory_iterator(Local.Path())) onDisk += entry.is_regular_file();
  EXPECT_EQ(onDisk, 12u);
  for (const auto& e : Engine.Files->Entries()) EXPECT_EQ(Local.Read(e.RelPath), "UPPER!");
}

TEST_F(SyncEngineTest, SyncWithPeer_HostileEntries_PassedOverAndNothingElseTouched) {
  AddLocal("a", "the user's own", BaseUnix);
  const double day = DayCount(BaseUnix);
  const double inf = std::numeric_limits<double>::infinity();
  TLyingPeer peer({
      {std::string("a\0b", 3), 5, day + 1, ""},  // cut short at the NUL it would name "a"
      {"../escape.txt", 5, day, ""},
      {"/tmp/abs.txt", 5, day, ""},
      {"x\\..\\..\\up.txt", 5, day, ""},
      {"a//b", 5, day, ""},
      {"./dot.txt", 5, day, ""},
      {"sub/pondar.exe", 5, day, ""},
      {"x.pondartmp", 5, day, ""},
      {"old.pondartmp/y.txt", 5, day, ""},
      {"nan.txt", 5, std::nan(""), ""},
      {"inf.txt", 5, inf, ""},
      {"minus-inf.txt", 5, -inf, ""},
      {"after-9999.txt", 5, 2958466.0, ""},
      {"negative-size.txt", -5, day, ""},
      {"win\\ok.txt", 5, day, ""},  // a Windows peer's separator is fine
  });
  Port = peer.Port();

  const auto stats = SyncNow();
  EXPECT_EQ(stats.Received, 1);
  EXPECT_EQ(stats.NotReceived, 0);
  EXPECT_EQ(Local.Read("a"), "the user's own");
  EXPECT_EQ(Local.Read("win/ok.txt"), "EVIL!");
  std::set<std::string> onDisk;
  for (const auto& entry : fs::recursive_directory_iterator(Local.Path()))
    onDisk.insert(fs::relative(entry.path(), Local.Path()).string());
  EXPECT_EQ(onDisk, (std::set<std::string>{"a", "win", "win/ok.txt"}));
  EXPECT_FALSE(fs::exists("/tmp/abs.txt"));
  ASSERT_EQ(Engine.Files->Size(), 2u);
  EXPECT_EQ(Engine.Files->Entries()[1].RelPath, "win/ok.txt");

  // Without an absolute root, the list and a delete would be taken from "/".
  Engine.RootDir = "";
  EXPECT_EQ(SyncNow().StoppedBy, "no shared folder is set");
  Engine.HandleRemoteDelete((Local.Path() / "a").relative_path().string());
  EXPECT_FALSE(fs::exists("/win/ok.txt"));
  EXPECT_EQ(Local.Read("a"), "the user's own");
}

TEST_F(SyncEngineTest, SyncWithPeer_FileVanishedBeforeFetch_ThreeAttemptsThenNextFile) {
  Remote.Put("gone.txt", "soon gone", BaseUnix);
  Remote.Put("kept.txt", "kept", BaseUnix);
  fs::remove(Remote.Folder.Path() / "gone.txt");
  Port = Remote.Start();

  const auto started = std::chrono::steady_clock::now();
  const auto stats = SyncNow();
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(stats.Received, 1);
  EXPECT_EQ(stats.NotReceived, 1);
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));  // pauses of 200 and 300 ms
  EXPECT_FALSE(fs::exists(Local.Path() / "gone.txt"));
  EXPECT_FALSE(fs::exists(Local.Path() / "gone.txt.pondartmp"));
  EXPECT_EQ(Logged(), std::vector<std::string>{"  \u2193 kept.txt (4 B)"});
}

TEST_F(SyncEngineTest, SyncWithPeer_UnreachableAndEmptyPeers_AllZerosTellingThemApart) {
  Port = Remote.Start();
  const auto empty = SyncNow();
  EXPECT_FALSE(empty.Unreachable);
  Remote.Stop();
  const auto stats = SyncNow();
  EXPECT_TRUE(stats.Unreachable);
  EXPECT_EQ(stats.Received + stats.NotReceived, 0);
  EXPECT_EQ(empty.Received + empty.NotReceived, 0);
  EXPECT_TRUE(Logged().empty());
}

TEST_F(SyncEngineTest, SyncWithPeer_PathThatCannotBeWrittenHere_SkippedAndTheRestFetched) {
  Local.Write("blocker", "a file where the peer has a folder");
  Remote.Put("blocker/x.txt", "x", BaseUnix);
  Remote.Put("fine.txt", "fine", BaseUnix);
  Port = Remote.Start();
  const auto stats = SyncNow();
  EXPECT_EQ(stats.Received, 1);
  EXPECT_EQ(stats.NotReceived, 1);
  EXPECT_TRUE(stats.StoppedBy.empty());
  EXPECT_EQ(Local.Read("fine.txt"), "fine");
  EXPECT_EQ(Local.Read("blocker"), "a file where the peer has a folder");
}

TEST_F(SyncEngineTest, SyncWithPeer_RecentLocalDelete_NotFetchedBackUnlessNewerThanIt) {
  AddLocal("gone.txt", "deleted here", BaseUnix);
  AddLocal("dir/in.txt", "deleted with its folder", BaseUnix);
  const auto watcher = Watch();
  // The user deletes; a rescan has already dropped the entries, while the watcher's report of
  // the deletes is still settling.
  fs::remove(Local.Path() / "gone.txt");
  fs::remove_all(Local.Path() / "dir");
  Engine.Files->Replace({});
  ASSERT_TRUE(
      WaitFor([&] { return DeleteRemembered("gone.txt") && DeleteRemembered("dir/in.txt"); }));
  Remote.Put("gone.txt", "the peer's old copy", BaseUnix);
  Remote.Put("Dir/In.txt", "the peer's old copy", BaseUnix);
  Remote.Put("dir/new.txt", "made there after the delete", std::time(nullptr) + 3600);
  Port = Remote.Start();

  const auto stats = SyncNow();
  EXPECT_EQ(stats.Received, 1);
  EXPECT_EQ(stats.NotReceived, 0);
  EXPECT_FALSE(fs::exists(Local.Path() / "gone.txt"));
  EXPECT_FALSE(fs::exists(Local.Path() / "Dir"));
  EXPECT_FALSE(fs::exists(Local.Path() / "dir/in.txt"));
  EXPECT_EQ(Local.Read("dir/new.txt"), "made there after the delete");
}

TEST_F(SyncEngineTest, SyncWithPeer_DeletedHereWhileOnItsWay_TheDeleteWins) {
  AddLocal("report.bin", "old", BaseUnix);
  Remote.Put("report.bin", std::string(1 << 20, 'n'), BaseUnix + 60);
  Port = Remote.Start();
  const auto watcher = Watch();
  std::atomic<bool> deleted{false};
  Engine.OnProgress = [&](const Core::RawUtf8&, int64_t, int64_t) {
    if (deleted.exchange(true)) return;
    fs::remove(Local.Path() / "report.bin");  // the user deletes the old copy meanwhile
    WaitFor([&] { return DeleteRemembered("report.bin"); });
  };
  const auto stats = SyncNow();
  EXPECT_TRUE(deleted);
  EXPECT_EQ(stats.Received, 0);
  EXPECT_EQ(stats.NotReceived, 0);
  EXPECT_FALSE(fs::exists(Local.Path() / "report.bin"));
  EXPECT_FALSE(fs::exists(Local.Path() / "report.bin.pondartmp"));
  EXPECT_TRUE(Logged().empty());
}

TEST_F(SyncEngineTest, SyncWithPeer_PeerVanishesAfterList_EndsWithoutTryingEveryFile) {
  // A hand-made peer that answers the list request once and then stops listening.
  TFileEntries listed;
  for (int i = 0; i < 10; ++i)
    listed.push_back({"f" + std::to_string(i), 10, DayCount(BaseUnix), ""});
  const Core::TBytes body = Net::EncodeFileList(listed);
  // It stops listening once it has accepted: gone for good after this one answer.
  PondarTest::TScriptedPeer peer([&](const Net::TSocket& AConn, const std::atomic<bool>&) {
    uint8_t type = 0;
    ASSERT_EQ(::recv(AConn.Fd(), &type, 1, MSG_WAITALL), 1);
    uint8_t header[4];
    Net::PutLe32(header, static_cast<uint32_t>(body.size()));
    ::send(AConn.Fd(), header, 4, MSG_NOSIGNAL);
    ::send(AConn.Fd(), body.data(), body.size(), MSG_NOSIGNAL);
  });
  Port = peer.Port();

  const auto started = std::chrono::steady_clock::now();
  const auto stats = SyncNow();
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(stats.Received, 0);
  EXPECT_EQ(stats.NotReceived, 10);  // the first tried, the others counted without trying
  // Normally about 0.6 s (one file's three attempts); ten files' would take at least five.
  EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
}

TEST_F(SyncEngineTest, SyncWithPeer_OverlappingSyncsOfOnePeer_EachFileFetchedOnceAndWhole) {
  const std::string big(3 * 1024 * 1024, 'x');
  for (int i = 0; i < 6; ++i) Remote.Put("f" + std::to_string(i) + ".bin", big, BaseUnix + i);
  Port = Remote.Start();

  std::atomic<int> received{0};
  std::vector<std::thread> syncs;
  for (int i = 0; i < 3; ++i) {
    syncs.emplace_back([&, copy = Engine]() mutable {
      received += copy.SyncWithPeer("127.0.0.1", Port).Received;
    });
  }
  for (auto& t : syncs) t.join();
  EXPECT_EQ(received.load(), 6);
  EXPECT_EQ(Engine.Files->Size(), 6u);
  for (int i = 0; i < 6; ++i) {
    const std::string name = "f" + std::to_string(i) + ".bin";
    EXPECT_EQ(fs::file_size(Local.Path() / name), big.size());
    EXPECT_FALSE(fs::exists(Local.Path() / (name + ".pondartmp")));
  }
}

TEST_F(SyncEngineTest, SyncWithPeer_ProgressOnlyForLargeFiles) {
  Remote.Put("small.bin", std::string(262143, 's'), BaseUnix);
  Remote.Put("large.bin", std::string(262144, 'l'), BaseUnix);
  Port = Remote.Start();
  std::vector<std::pair<std::string, int64_t>> calls;
  Engine.OnProgress = [&](const Core::RawUtf8& APath, int64_t AReceived, int64_t ATotal) {
    EXPECT_EQ(ATotal, 262144);
    calls.emplace_back(APath, AReceived);
  };
  EXPECT_EQ(SyncNow().Received, 2);
  ASSERT_FALSE(calls.empty());
  for (const auto& [path, received] : calls) EXPECT_EQ(path, "large.bin");
  EXPECT_EQ(calls.back().second, 262144);
}

// Told to cancel while a download runs, the sync cuts that download short and asks for no
// further file: of many, at most the ones already on their way (one per receiver) arrive.
TEST_F(SyncEngineTest, SyncWithPeer_CancelledWhileFetching_AsksForNoFurtherFile) {
  // Cancelled as the first request arrives: each receiver has at most the one it sent then
  // on its way, however the threads were scheduled.
  TFileEntries listed;
  for (int i = 0; i < 24; ++i) listed.push_back({"f" + std::to_string(i), 5, DayCount(BaseUnix), ""});
  TLyingPeer peer(listed, [&] { Engine.Cancel->store(true); });
  Port = peer.Port();
  const auto stats = SyncNow();
  size_t onDisk = 0;
  for (const auto& entry : fs::directory_iterator(Local.Path())) onDisk += entry.is_regular_file();
  EXPECT_LE(onDisk, Sync::TSyncEngine::Receivers) << stats.Received << " received";
  EXPECT_LE(stats.Received, static_cast<int32_t>(Sync::TSyncEngine::Receivers));
}

TEST_F(SyncEngineTest, SyncWithPeer_OwnWritesNotReportedByWatcher) {
  Remote.Put("deep/er/new.txt", "from peer", BaseUnix);
  Remote.Put("top.txt", "also", BaseUnix);
  Port = Remote.Start();
  const auto watcher = Watch();
  PondarTest::TRecorder<std::string> reports;
  watcher->SetOnChange(
      [&](Core::TFileAction, const Core::RawUtf8& APath, bool) { reports.Add(APath); });

  EXPECT_EQ(SyncNow().Received, 2);
  Engine.HandleRemoteDelete("top.txt");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  watcher->Terminate();
  watcher->WaitFor();
  // Nor the folders a download makes on its way.
  EXPECT_EQ(reports.All(), std::vector<std::string>{});
}

// The file the list names goes, whatever the peer's spelling or separator; a folder, a missing
// path and one out of the folder are left alone and not logged.
TEST_F(SyncEngineTest, HandleRemoteDelete_DeletesTheFileTheListNames) {
  AddLocal("x/y.txt", "y", BaseUnix);
  AddLocal("x|y.txt", "equal to x\\y.txt under the list's rule, yet another file", BaseUnix);
  AddLocal("docs/a.txt", "a", BaseUnix);
  fs::create_directories(Local.Path() / "folder");
  Engine.HandleRemoteDelete("x\\y.txt");    // a Windows peer's separator
  Engine.HandleRemoteDelete("DOCS/A.TXT");  // the list's spelling names the file here
  for (const char* path : {"folder", "missing.txt", "../docs/a.txt"})
    Engine.HandleRemoteDelete(path);
  EXPECT_FALSE(fs::exists(Local.Path() / "x/y.txt"));
  EXPECT_FALSE(fs::exists(Local.Path() / "docs/a.txt"));
  EXPECT_TRUE(fs::exists(Local.Path() / "x|y.txt"));
  EXPECT_TRUE(fs::is_directory(Local.Path() / "folder"));
  ASSERT_EQ(Engine.Files->Size(), 1u);
  EXPECT_EQ(Engine.Files->Entries()[0].RelPath, "x|y.txt");
  EXPECT_EQ(Logged(), (std::vector<std::string>{"  \u2715 x/y.txt", "  \u2715 docs/a.txt"}));
}

TEST_F(SyncEngineTest, HandleRemoteDelete_FileThatCannotBeDeleted_KeepsItsEntryAndLogsNothing) {
  AddLocal("locked.txt", "stays", BaseUnix);
  const TImmutableFile locked(Local.Path() / "locked.txt");
  if (!locked.Set())
    GTEST_SKIP() << "cannot make a file immutable here (needs root on ext4, xfs or tmpfs)";
  Engine.HandleRemoteDelete("locked.txt");
  EXPECT_TRUE(fs::exists(Local.Path() / "locked.txt"));
  EXPECT_EQ(Engine.Files->Size(), 1u);
  EXPECT_TRUE(Logged().empty());
}
