#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "app/App.h"
#include "core/Captions.h"
#include "net/Messages.h"
#include "net/TcpServer.h"
#include "net/Transfer.h"
#include "screen/Capture.h"
#include "screen/Viewer.h"
#include "support/Announce.h"
#include "support/Bytes.h"
#include "support/HostileAgent.h"
#include "support/MemoryClipboard.h"
#include "support/NetLab.h"
#include "support/RawSockets.h"
#include "support/Recorder.h"
#include "support/ScriptedPeer.h"
#include "support/ServedFolder.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace Pondard::App;
using Pondar::Core::TFileEntries;
using PondarTest::FreePort;
using PondarTest::Occurrences;
using PondarTest::TSandbox;
using PondarTest::WaitFor;

namespace {

constexpr int64_t BaseUnix = 1700000000;

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PondarTest::InIsolatedNetwork())
      GTEST_SKIP() << "REFUSED: the engine broadcasts; run the tests in a network namespace of "
                      "their own (scripts/test.sh does)";
    Config.Name = "local";
    Config.Folder = Folder.Str();
    Config.UdpPort = FreePort(SOCK_DGRAM);
    Config.TcpPort = FreePort(SOCK_STREAM);
  }
  void TearDown() override {
    App.reset();
    Queue->RunPending();
  }
  void Create() {
    App = std::make_unique<TPondardApp>(Config, Queue);
    App->SetLogSink([this](const RawUtf8& ALine) { Lines.push_back(ALine); });
    App->SetSoundHook([this](TSound ASound) { Sounds.push_back(ASound); });
    App->SetClipboard(Clipboard);
  }
  // Messages logged so far, without their time stamps; pumps the queue as the window would.
  std::vector<std::string> Messages() {
    Queue->RunPending();
    std::vector<std::string> out;
    for (const auto& line : Lines) out.push_back(line.size() > 11 ? line.substr(11) : line);
    return out;
  }
  bool WaitForMessage(const std::string& AMessage,
                      std::chrono::milliseconds ATimeout = std::chrono::seconds(5)) {
    return WaitFor([&] { return Count(AMessage) > 0; }, ATimeout);
  }
  int Count(const std::string& AMessage) {
    const auto all = Messages();
    return static_cast<int>(std::count(all.begin(), all.end(), AMessage));
  }
  // Starts the engine and waits for it to be ready: with file sharing, the folder is listed on
  // the engine's own thread after Start has returned.
  void StartApp() {
    const int ready = Count("\u25B6 Ready");
    App->Start();
    ASSERT_TRUE(WaitFor([&] { return Count("\u25B6 Ready") > ready; }));
  }
  // Announces a peer to the engine's discovery socket, as a peer's broadcast would.
  void Announce(const std::string& AName, uint16_t ATcpPort, double AUtcTime,
                Pondar::Net::TDiscoveryKind AKind = Pondar::Net::TDiscoveryKind::dkAnnounce) {
    PondarTest::Announce(Config.UdpPort, AName, ATcpPort, AUtcTime, AKind);
  }

  // Creates and starts the engine, and announces a peer serving on APeerPort until the engine's
  // discovery, which binds on its own thread, has heard it.
  void StartKnowing(const std::string& APeerName, uint16_t APeerPort) {
    Create();
    StartApp();
    ASSERT_TRUE(WaitFor([&] {
      Announce(APeerName, APeerPort, Pondar::Core::CurrentUtcTime());
      return !App->GetPeers().empty();
    }));
  }

  // A real "pondard --headless" (behind APrefix, a command that execs it) sharing Folder on the
  // test's ports, with its settings under AHome and AEnv on top of the test's environment;
  // returns once it is ready.
  PondarTest::TLabProcess SpawnHeadless(const TSandbox& AHome, std::vector<std::string> APrefix,
                                        const std::vector<std::string>& AArgs,
                                        std::map<std::string, std::string> AEnv = {}) {
    PondarTest::TSpawnOptions options;
    options.Env = std::move(AEnv);
    options.Env["APPDATA"] = AHome.Str();
    options.LogPath = (AHome.Path() / "log").string();
    options.Streams = PondarTest::TLogStreams::StdoutOnly;
    APrefix.insert(APrefix.end(),
                   {PONDARD_EXE, "--headless", "--folder", Folder.Str(), "--udp-port",
                    std::to_string(Config.UdpPort), "--tcp-port", std::to_string(Config.TcpPort)});
    APrefix.insert(APrefix.end(), AArgs.begin(), AArgs.end());
    auto peer = PondarTest::SpawnProcess(APrefix, options);
    EXPECT_TRUE(WaitFor([&] { return peer.ReadLog().find("\u25B6 Ready") != std::string::npos; },
                        std::chrono::seconds(10)))
        << peer.ReadLog() << peer.ReadStderr();
    return peer;
  }

  TSandbox Folder;
  TPondardConfig Config;
  std::shared_ptr<TLoopDeliveryQueue> Queue = std::make_shared<TLoopDeliveryQueue>();
  std::unique_ptr<TPondardApp> App;
  std::vector<RawUtf8> Lines;
  std::vector<TSound> Sounds;
  std::shared_ptr<PondarTest::TMemoryClipboard> Clipboard =
      std::make_shared<PondarTest::TMemoryClipboard>();
};

}  // namespace

TEST_F(AppTest, Start_LogsScanThenCountAndReadyInOrder_LeftoverDownloadsRemoved) {
  Folder.Write("a.txt", "a");
  Folder.Write("sub/b.txt", "b");
  // What a run that was killed in the middle of two downloads leaves behind.
  Folder.Write("c.txt.pondartmp", "half of c");
  Folder.Write("sub/d.bin.PONDARTMP", "half of d");
  fs::create_directories(Folder.Path() / "kept.pondartmp");  // a folder: the user's, not ours
  Create();
  App->Start();
  // Said before Start returns; the count and Ready follow from the scan's own thread, which may
  // already be done by now (that Start does not wait for it is the coordinator's test).
  ASSERT_FALSE(Messages().empty());
  EXPECT_EQ(Messages().front(), "\u2026 Scanning...");
  ASSERT_TRUE(WaitForMessage("\u25B6 Ready"));
  ASSERT_EQ(Lines.size(), 3u);
  const std::regex stamp(R"(^\[\d\d:\d\d:\d\d\] .*)");
  for (const auto& line : Lines) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"\u2026 Scanning...", "\u25AA 2 files", "\u25B6 Ready"}));
  EXPECT_EQ(App->Entries().size(), 2u);
  // Listening before discovery told anyone of this peer: one who hears of it may pull at once.
  EXPECT_EQ(App->ServerPort(), Config.TcpPort);
  EXPECT_FALSE(fs::exists(Folder.Path() / "c.txt.pondartmp"));
  EXPECT_FALSE(fs::exists(Folder.Path() / "sub/d.bin.PONDARTMP"));
  EXPECT_TRUE(fs::is_directory(Folder.Path() / "kept.pondartmp"));

  // A second Start or Stop changes nothing. A peer has just pulled the list: the server closed
  // that connection first, which keeps the port in TIME_WAIT; a restart serves at once anyway.
  App->Start();
  EXPECT_EQ(Lines.size(), 3u);
  const size_t listed = 8 + 2 * 82 + 5 + 9;  // length, count, and a.txt and sub/b.txt
  ASSERT_EQ(PondarTest::Ask(Config.TcpPort, PondarTest::B({0x01})).Bytes.size(), listed);
  App->Stop();
  App->Stop();
  EXPECT_FALSE(App->Running());
  EXPECT_EQ(App->ServerPort(), 0);
  StartApp();  // a restart brings every worker back
  EXPECT_EQ(Lines.size(), 6u);
  EXPECT_TRUE(WaitFor([&] { return App->ServerPort() == Config.TcpPort; }));
  EXPECT_EQ(PondarTest::Ask(Config.TcpPort, PondarTest::B({0x01})).Bytes.size(), listed);
}

TEST_F(AppTest, Start_PortsHeldByAnotherProgram_SaidInTheLog) {
  const auto holder = [](int AType, uint16_t APort) {
    Pondar::Net::TSocket sock(::socket(AF_INET, AType | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    Pondar::Net::MakeIpv4Address("0.0.0.0", APort, addr);
    EXPECT_EQ(::bind(sock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    if (AType == SOCK_STREAM) {
      EXPECT_EQ(::listen(sock.Fd(), 4), 0);
    }
    return sock;
  };
  const auto tcp = holder(SOCK_STREAM, Config.TcpPort);
  const auto udp = holder(SOCK_DGRAM, Config.UdpPort);
  Create();
  StartApp();
  EXPECT_TRUE(WaitForMessage("\u26A0 TCP port " + std::to_string(Config.TcpPort) +
                             " cannot be opened (Address already in use): other peers cannot "
                             "fetch files from here"));
  EXPECT_TRUE(WaitForMessage("\u26A0 UDP port " + std::to_string(Config.UdpPort) +
                             " cannot be opened (Address already in use): no peers will be found"));
}

TEST_F(AppTest, Start_FolderThatCannotBeShared_OneLineThenReady_NothingServedNorDeleted) {
  // What a peer would reach were the folder taken from "/" or the current directory.
  const fs::path kept = Folder.Write("cwd/share/a.txt", "a");
  const fs::path cwd = fs::current_path();
  fs::current_path(Folder.Path() / "cwd");
  const std::string off = "\u26A0 File sharing is off: ";
  const struct {
    std::string Folder, PeersPath, Line;
  } cases[] = {
      {"share", "a.txt", off + "the shared folder share is not an absolute path"},
      {"", kept.relative_path().string(), off + "no shared folder is set"},
      {(Folder.Path() / "nope").string(), "a.txt",
       off + "the shared folder " + (Folder.Path() / "nope").string() +
           " cannot be used (No such file or directory)"},
      {kept.string(), "a.txt", off + "the shared folder " + kept.string() + " is not a folder"},
      {"/tmp/..", kept.relative_path().string(),
       off + "the shared folder /tmp/.. is the whole file system"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("folder \"" + c.Folder + "\"");
    Config.Folder = c.Folder;
    App.reset();
    Lines.clear();
    Create();
    App->Start();
    EXPECT_EQ(Messages(), (std::vector<std::string>{c.Line, "\u25B6 Ready"}));
    ASSERT_TRUE(WaitFor([&] { return App->ServerPort() == Config.TcpPort; }));
    const auto ask = [&](int AType) {
      return PondarTest::Ask(Config.TcpPort, PondarTest::B({AType}) +
                                                 PondarTest::Le16(c.PeersPath.size()) +
                                                 c.PeersPath);
    };
    EXPECT_EQ(ask(0x02).Bytes, PondarTest::Le64(UINT64_MAX));  // no such file
    // The server has carried out a notice once it closes the connection.
    EXPECT_TRUE(ask(0x03).Closed);
    EXPECT_TRUE(fs::exists(kept));
  }
  fs::current_path(cwd);
}

// A key that cannot be had must not leave the peer open to everyone: it stays off the network.
TEST_F(AppTest, Start_NetworkKey_SaidFirst_AnUnusableOneKeepsThePeerOffTheNetwork) {
  TSandbox keys;
  const std::string key = Pondar::Net::NewNetworkKey();
  const std::string keyFile = keys.Write("key.txt", key + "\n").string();
  const std::string on = "Network key on: only peers with the same key are seen";
  const auto off = [](const std::string& AWhy) {
    return "\u26A0 Network key refused (" + AWhy +
           "): this peer stays off the network until it is mended";
  };
  const struct {
    std::string Key, KeyFile, First;
    bool Online;
  } cases[] = {
      {key, "", on, true},
      {"", keyFile, on, true},
      {"short", keyFile, on, true},  // the file's key is in force over the settings'
      {"short", "",
       off("the network key is shorter than 8 characters: use pondard --new-key for a strong one"),
       false},
      {key, keys.Str() + "/gone", off("the key file " + keys.Str() + "/gone cannot be read"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Key + " / " + c.KeyFile);
    Lines.clear();
    Config.NetworkKey = c.Key;
    Config.NetworkKeyFile = c.KeyFile;
    Create();
    StartApp();
    ASSERT_FALSE(Messages().empty());
    EXPECT_EQ(Messages().front(), c.First);
    EXPECT_EQ(Messages().back(), "\u25B6 Ready");
    // Offline there is no server to wait for: its port stays 0 from the start.
    const auto wait = std::chrono::milliseconds(c.Online ? 5000 : 100);
    EXPECT_EQ(WaitFor([&] { return App->ServerPort() != 0; }, wait), c.Online);
    App.reset();
  }
}

TEST_F(AppTest, Log_FromWorkers_ArrivesLaterInOrder) {
  Create();
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i) App->Log("line " + std::to_string(i));
  });
  worker.join();
  EXPECT_TRUE(Lines.empty());  // nothing reaches the sink off its thread
  const auto all = Messages();
  ASSERT_EQ(all.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(all[i], "line " + std::to_string(i));
}

TEST(ClockDriftTest, WholeSecondsOrNoneForReadingsThatAreNoTime) {
  const double now = 46000.0;
  EXPECT_EQ(ClockDriftSeconds(now + 5.25 / 86400.0, now), 5);
  EXPECT_EQ(ClockDriftSeconds(now - 5.75 / 86400.0, now), 6);
  EXPECT_EQ(ClockDriftSeconds(0.0, now), int64_t{46000} * 86400);
  const double inf = std::numeric_limits<double>::infinity();
  for (double reading : {std::nan(""), inf, -inf, -1.0 / 86400.0, 2958466.0, 1e300})
    EXPECT_EQ(ClockDriftSeconds(reading, now), std::nullopt) << reading;
}

// The engine reads its own clock a moment after the test does: the drifts here stay a quarter
// second and more from every rounding edge, so that moment cannot tip them.
TEST_F(AppTest, OnPeerDiscovered_ClockCheck_UnreachablePeerAndInvalidReadingsSaidSo) {
  Create();
  StartApp();
  const double now = Pondar::Core::CurrentUtcTime();
  const uint16_t closedPort = FreePort(SOCK_STREAM);
  std::thread discovery([&] {
    App->OnPeerDiscovered({"near", "127.0.0.1", closedPort, 0, now + 5.25 / 86400.0});
    App->OnPeerDiscovered({"wren", "127.0.0.1", closedPort, 0, now - 5.75 / 86400.0});
    App->OnPeerDiscovered({"odd", "127.0.0.1", closedPort, 0, std::nan("")});
  });
  discovery.join();
  EXPECT_TRUE(WaitForMessage("\u26A0 near - unreachable"));
  EXPECT_EQ(Count("\u25CF near (127.0.0.1)"), 1);
  EXPECT_EQ(Count("\u21C4 near..."), 1);
  EXPECT_EQ(Count("\u2713 Up to date"), 0);  // an unreachable peer is no success
  EXPECT_EQ(Count("\u26A0 wren - clock drift 6s exceeds 5s limit"), 1);
  EXPECT_EQ(Count("\u21C4 wren..."), 0);
  EXPECT_EQ(Count("\u26A0 odd - clock reading is not a valid time"), 1);
  EXPECT_EQ(Count("\u21C4 odd..."), 0);
}

TEST_F(AppTest, DiscoveredPeer_FilesFetchedThenChangeNoticesRateLimitedButTakenUp) {
  PondarTest::TServedFolder peer;
  peer.Put("shared.txt", "version 1", BaseUnix);
  peer.Put("ghost.txt", "listed, then gone", BaseUnix);
  fs::remove(peer.Folder.Path() / "ghost.txt");
  ASSERT_NO_FATAL_FAILURE(StartKnowing("remote", peer.Start()));
  ASSERT_TRUE(WaitForMessage("\u2713 1 received, 0 sent"));
  ASSERT_TRUE(WaitForMessage("\u26A0 remote - 1 files not received"));
  EXPECT_EQ(Folder.Read("shared.txt"), "version 1");
  EXPECT_EQ(Count("\u25CF remote (127.0.0.1)"), 1);
  ASSERT_EQ(App->GetPeers().size(), 1u);

  // A first notice is taken up at once; one inside its window waits for the window's end, and
  // the change that came with it is not lost.
  peer.Put("shared.txt", "version 2", BaseUnix + 10);
  // The window starts when this notice is taken up, after this moment.
  const auto windowStart = std::chrono::steady_clock::now();
  std::thread([&] { App->OnChangesNotify("127.0.0.1"); }).join();
  ASSERT_TRUE(WaitFor([&] { return Count("\u21C4 remote...") == 2; }));
  ASSERT_TRUE(WaitFor([&] { return Folder.Read("shared.txt") == "version 2"; }));
  peer.Put("shared.txt", "version 3", BaseUnix + 20);
  std::thread([&] { App->OnChangesNotify("127.0.0.1"); }).join();
  std::thread([&] { App->OnChangesNotify("127.0.0.1"); }).join();
  // Taken up at once, a sync would begin within milliseconds; the window holds it for 3 s.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Count("\u21C4 remote..."), 2);
  EXPECT_EQ(Folder.Read("shared.txt"), "version 2");
  // Normally 3 s from the window's start; five times that.
  ASSERT_TRUE(
      WaitFor([&] { return Folder.Read("shared.txt") == "version 3"; }, std::chrono::seconds(15)));
  EXPECT_GE(std::chrono::steady_clock::now() - windowStart, std::chrono::milliseconds(2990));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Count("\u21C4 remote..."), 3);  // two dropped notices, one take-up

  // A notice from an address not in the table is ignored.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  std::thread([&] { App->OnChangesNotify("10.1.2.3"); }).join();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Count("\u21C4 remote..."), 3);
}

TEST_F(AppTest, OnFileChange_SecondChangeInsideWindow_TakenUpOnceWhenItEnds) {
  Create();
  StartApp();
  // The engine's own folder watcher never reports a name with two dots: only the reports made
  // here reach the engine. Were it to report these files too, its report of a.txt could replace
  // b.txt as the change held back, whenever it came after the delete below.
  Folder.Write("a..txt", "a");
  const auto first = std::chrono::steady_clock::now();
  std::thread([&] { App->OnFileChange(Pondar::Core::TFileAction::faModified, "a..txt"); }).join();
  EXPECT_TRUE(WaitForMessage("\u25B3 a..txt"));
  EXPECT_TRUE(WaitFor([&] { return App->Entries().size() == 1u; }));  // listed

  std::thread([&] {
    App->OnFileChange(Pondar::Core::TFileAction::faModified, "a..txt");
    App->OnFileChange(Pondar::Core::TFileAction::faCreated, "b..txt");
    // Deletes are never held back.
    App->OnFileChange(Pondar::Core::TFileAction::faDeleted, "a..txt");
  }).join();
  // Written once reported: the rescan that follows the first take-up, which may still be
  // walking, cannot list it before its report is held back.
  Folder.Write("b..txt", "b");
  ASSERT_TRUE(WaitForMessage("\u25B3 b..txt", std::chrono::seconds(15)));  // normally 2 s
  EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(1990));
  // The delete went ahead of the change held back, however slowly either was carried out.
  const auto all = Messages();
  EXPECT_LT(std::find(all.begin(), all.end(), "\u2715 a..txt") - all.begin(),
            std::find(all.begin(), all.end(), "\u25B3 b..txt") - all.begin());
  EXPECT_TRUE(WaitFor([&] { return App->Entries().size() == 2u; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(Count("\u25B3 a..txt") + Count("\u25B3 b..txt"), 2);  // taken up once, not twice
}

TEST_F(AppTest, OnFileChange_FileJustAsTheListHasIt_IsNoChange) {
  // What a download's late notification looks like: the file is what the list says it is.
  Folder.Write("a.txt", "a");
  Create();
  StartApp();
  std::thread([&] { App->OnFileChange(Pondar::Core::TFileAction::faModified, "A.TXT"); }).join();
  Folder.Write("a.txt", "longer");
  std::thread([&] { App->OnFileChange(Pondar::Core::TFileAction::faModified, "a.txt"); }).join();
  EXPECT_TRUE(WaitForMessage("\u25B3 a.txt"));
  EXPECT_EQ(Count("\u25B3 A.TXT"), 0);
}

TEST_F(AppTest, Destroy_WithSyncInFlight_ReturnsAndSinkNeverCalledAfterwards) {
  // A peer that accepts, then stays silent until the test lets it go (20 s at most).
  std::atomic<bool> release{false};
  PondarTest::TScriptedPeer silent(
      [&](const Pondar::Net::TSocket&, const std::atomic<bool>& AStop) {
        WaitFor([&] { return release || AStop; }, std::chrono::seconds(20));
      });

  Create();
  StartApp();
  std::thread([&] {
    App->OnPeerDiscovered({"slow", "127.0.0.1", silent.Port(), 0, Pondar::Core::CurrentUtcTime()});
  }).join();
  ASSERT_TRUE(WaitFor([&] { return App->RunningSyncs() == 1; }));
  // The sync cannot end before the peer is let go: a stop that waited for it would not return.
  const auto stopping = std::chrono::steady_clock::now();
  App->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(10));
  EXPECT_EQ(App->RunningSyncs(), 1u);
  release = true;
  App.reset();
  const size_t before = Lines.size();
  Queue->RunPending();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Queue->RunPending();
  EXPECT_EQ(Lines.size(), before);  // queued lines find no sink once the engine is gone
}

TEST_F(AppTest, LocalSaveAndFolderMovedOutOfTheShare_PeersAreToldOfEachFile) {
  Folder.Write("docs/a.txt", "a");
  Folder.Write("docs/sub/b.txt", "b");
  Folder.Write("keep.txt", "k");
  PondarTest::TServedFolder peer;
  PondarTest::TRecorder<std::string> notices;
  std::atomic<int> changeNotices{0};
  peer.Create().OnDeleteNotify = [&](const RawUtf8& APath) { notices.Add(APath); };
  peer.Server->OnChangesNotify = [&](const RawUtf8&) { ++changeNotices; };
  ASSERT_NO_FATAL_FAILURE(StartKnowing("remote", peer.Start()));

  // A file saved here is listed and the peer is told of the change.
  Folder.Write("saved.txt", "s");
  ASSERT_TRUE(WaitFor([&] { return changeNotices > 0; }));
  EXPECT_TRUE(WaitFor([&] { return App->Entries().size() == 4u; }));
  fs::remove(Folder.Path() / "saved.txt");
  ASSERT_TRUE(WaitFor([&] { return notices.Count() == 1; }));
  notices.Clear();

  // One move takes the whole folder out of the share: the watcher sees one delete, of "docs".
  const TSandbox elsewhere;
  fs::rename(Folder.Path() / "docs", elsewhere.Path() / "docs");
  ASSERT_TRUE(WaitFor([&] { return notices.Count() == 2; }));
  auto told = notices.All();
  std::sort(told.begin(), told.end());
  EXPECT_EQ(told, (std::vector<std::string>{"docs/a.txt", "docs/sub/b.txt"}));
  EXPECT_EQ(Count("\u2715 docs"), 1);
  const auto entries = App->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].RelPath, "keep.txt");
  EXPECT_EQ(Count("\u25B3 saved.txt"), 1);
}

// The kernel counts inotify watches per user namespace: in one of its own with a limit of 3, a
// real pondard meets a share it cannot watch whole.
TEST_F(AppTest, Headless_WatchLimitReached_SaidOnceOnStderrAndInTheLog) {
  if (!fs::exists("/proc/sys/user/max_inotify_watches"))
    GTEST_SKIP() << "this kernel has no per-namespace limit of inotify watches";
  for (int i = 0; i < 6; ++i) fs::create_directories(Folder.Path() / ("d" + std::to_string(i)));
  const TSandbox home;
  auto peer = SpawnHeadless(home,
                            {"unshare", "--user", "--map-root-user", "sh", "-c",
                             "echo 3 > /proc/sys/user/max_inotify_watches && exec \"$0\" \"$@\""},
                            {});
  const std::string said =
      "Folder watch limit reached (fs.inotify.max_user_watches = 3): changes in \"";
  EXPECT_EQ(Occurrences(peer.ReadLog(), said), 1u) << peer.ReadLog();
  EXPECT_NE(peer.ReadLog().find("\u26A0 " + said), std::string::npos);
  EXPECT_EQ(Occurrences(peer.ReadStderr(), said), 1u) << peer.ReadStderr();
  peer.Signal(SIGTERM);
  EXPECT_EQ(peer.WaitExit(std::chrono::seconds(10)), 0);
}

TEST_F(AppTest, ChangeHeldWhenTheEngineStopped_ChangesAfterARestartAreStillTakenUp) {
  Create();
  StartApp();
  std::thread([&] {
    App->OnFileChange(Pondar::Core::TFileAction::faModified, "a.txt");
    App->OnFileChange(Pondar::Core::TFileAction::faModified, "b.txt");  // held for the window
  }).join();
  ASSERT_TRUE(WaitForMessage("\u25B3 a.txt"));
  App->Stop();  // drops the held change with the work that would have taken it up
  StartApp();
  // Still inside the first window: held again, and taken up when the window ends.
  std::thread([&] { App->OnFileChange(Pondar::Core::TFileAction::faModified, "c.txt"); }).join();
  EXPECT_TRUE(WaitForMessage("\u25B3 c.txt", std::chrono::seconds(10)));  // within 2 s
  EXPECT_EQ(Count("\u25B3 b.txt"), 0);
}

// What a peer's server receives of a copy here, and what a peer's text does here.
TEST_F(AppTest, Clipboard_CopySentToPeers_PeersTextWrittenWithoutEcho_RefusedWriteSaidSo) {
  Config.FileSharing = false;  // the scripted peer takes one connection: the clipboard's
  Config.Clipboard = true;
  Config.Sound = true;
  auto sent = std::make_shared<TBytes>();
  PondarTest::TScriptedPeer peer(PondarTest::Record(sent));
  ASSERT_NO_FATAL_FAILURE(StartKnowing("remote", peer.Port()));

  Clipboard->Copy("h\xC3\xA9llo");
  ASSERT_TRUE(WaitForMessage("\u21C4 Clipboard sent (6 bytes)"));
  ASSERT_TRUE(WaitFor([&] { return peer.Done(); }));
  EXPECT_EQ(*sent, PondarTest::B({5}) + PondarTest::Le32(6) + "h\xC3\xA9llo");

  const auto sendToEngine = [&](const std::string& AText) {
    auto conn = PondarTest::Dial(App->ServerPort());
    ASSERT_TRUE(
        PondarTest::SendRaw(conn, PondarTest::B({5}) + PondarTest::Le32(AText.size()) + AText));
    PondarTest::ReadUntilClosed(conn);
  };
  Messages();
  Sounds.clear();  // the peer's arrival had its own
  sendToEngine("world");
  ASSERT_TRUE(WaitForMessage("\u21C4 Clipboard received (5 bytes)"));
  // Text that no desktop keeps as it came (X11 gave back 3000 bytes of U+FFFD for the first,
  // "before" for the second): one line each, with the size only, and nothing written.
  for (const auto& text : {std::string(1000, '\xFF'), std::string("before\0after", 12)}) {
    sendToEngine(text);
    const std::string refused = "\u26A0 Clipboard received (" + std::to_string(text.size()) +
                                " bytes) but refused: not plain UTF-8 text";
    EXPECT_TRUE(WaitForMessage(refused));
    EXPECT_EQ(Count(refused), 1);
  }
  EXPECT_EQ(Clipboard->Text(), "world");
  EXPECT_EQ(Sounds, std::vector<TSound>{TSound::Notification});
  // Five polls: the peer's text written here does not go back.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(Count("\u21C4 Clipboard sent (5 bytes)"), 0);

  Clipboard->HoldBusy(3);
  sendToEngine("busy!");
  ASSERT_TRUE(WaitForMessage(
      "\u26A0 Clipboard received (5 bytes) but not applied: the clipboard cannot be reached"));
  EXPECT_EQ(Count("\u21C4 Clipboard received (5 bytes)"), 1);
}

TEST_F(AppTest, Clipboard_SharingOff_PeersTextIgnoredAndCopiesStayHere) {
  Create();
  StartApp();
  ASSERT_TRUE(WaitFor([&] { return App->ServerPort() != 0; }));
  // The server may close as soon as it reads a type it does not take.
  auto conn = PondarTest::Dial(App->ServerPort());
  PondarTest::SendRaw(conn, PondarTest::B({5}) + PondarTest::Le32(3) + "abc");
  PondarTest::ReadUntilClosed(conn);
  Clipboard->Copy("local");
  // Five polls of a watcher that would be running.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(Clipboard->Text(), "local");
  for (const auto& message : Messages()) EXPECT_EQ(message.find("Clipboard"), std::string::npos);
}

// ---- screen ----

namespace {

// A screen of one colour and a given size, for the engine's capture thread.
class TPlainScreen final : public Pondard::Screen::TScreenSource {
 public:
  bool Size(int& AWidth, int& AHeight) override {
    AWidth = 100;
    AHeight = 70;
    return true;
  }
  bool Grab(uint8_t* APixels, int AWidth, int AHeight) override {
    std::fill_n(APixels, size_t(AWidth) * AHeight * 3, uint8_t{0x5A});
    return true;
  }
};

// A peer whose server takes screen frames and records who sent how many bytes.
struct TFramePeer {
  TFramePeer() {
    Peer.Create().OnScreenFrame = [this](const RawUtf8&, const RawUtf8& AName,
                                         const TBytes& AData) {
      Frames.Add(AName + ":" + std::to_string(AData.size()));
    };
    Port = Peer.Start();
  }
  PondarTest::TServedFolder Peer;
  PondarTest::TRecorder<std::string> Frames;
  uint16_t Port = 0;
};

}  // namespace

// With file sharing off, peers are met but never synced with.
TEST_F(AppTest, ScreenSend_NoPeerDropsTheFrame_UnreachablePeerCountsFailsUntilAPassReachesAll) {
  Config.FileSharing = false;
  Create();
  StartApp();
  EXPECT_EQ(Messages(), std::vector<std::string>{"\u25B6 Ready"});
  App->OnScreenCaptured(TBytes(8, 1));
  EXPECT_FALSE(App->SendingScreen());

  TFramePeer one, two;
  const uint16_t nobody = FreePort(SOCK_STREAM);
  for (const auto& [name, port] : {std::pair{"one", one.Port}, {"two", two.Port}, {"gone", nobody}})
    ASSERT_TRUE(WaitFor([&, name = name, port = port] {
      Announce(name, port, Pondar::Core::CurrentUtcTime());
      return Count(std::string("\u25CF ") + name + " (127.0.0.1)") == 1;
    }));
  const auto sendPass = [&](int AFramesEach) {
    std::thread([&] { App->OnScreenCaptured(TBytes(20, 2)); }).join();
    ASSERT_TRUE(WaitFor([&] { return !App->SendingScreen(); }, std::chrono::seconds(25)));
    // The peers' servers take the frames on threads of their own.
    EXPECT_TRUE(WaitFor([&] {
      return one.Frames.Count() == size_t(AFramesEach) && two.Frames.Count() == size_t(AFramesEach);
    }));
  };
  sendPass(1);
  EXPECT_EQ(one.Frames.All()[0], "local:20");
  EXPECT_EQ(App->ScreenSendFails(), 1);
  sendPass(2);
  EXPECT_EQ(App->ScreenSendFails(), 2);
  Announce("gone", nobody, 0, Pondar::Net::TDiscoveryKind::dkGoodbye);
  ASSERT_TRUE(WaitFor([&] { return App->GetPeers().size() == 2; }));
  sendPass(3);
  EXPECT_EQ(App->ScreenSendFails(), 0);
  EXPECT_EQ(Count("\u21C4 one...") + Count("\u21C4 two...") + Count("\u21C4 gone..."), 0);
  EXPECT_EQ(App->RunningSyncs(), 0u);
}

TEST_F(AppTest, ScreenSend_AViewerThatDoesNotReadHoldsUpNoOther) {
  Config.FileSharing = false;
  Create();
  StartApp();
  TFramePeer one;
  PondarTest::Hostile::TSilentServer stuck("127.0.0.1");
  for (const auto& [name, port] : {std::pair{"stuck", stuck.Port()}, {"one", one.Port}})
    ASSERT_TRUE(WaitFor([&, name = name, port = port] {
      Announce(name, port, Pondar::Core::CurrentUtcTime());
      return Count(std::string("\u25CF ") + name + " (127.0.0.1)") == 1;
    }));
  // Frames larger than the socket buffers: the first one to "stuck" never leaves.
  for (int i = 0; i < 3; ++i) {
    std::thread([&] { App->OnScreenCaptured(TBytes(8 << 20, 3)); }).join();
    ASSERT_TRUE(WaitFor([&] { return one.Frames.Count() == size_t(i + 1); })) << "frame " << i;
  }
  // "stuck" is passed over while its first frame is still on its way.
  EXPECT_EQ(App->ScreenSendFails(), 2);
  EXPECT_TRUE(App->SendingScreen());
}

TEST_F(AppTest, ScreenBroadcast_StartedBeforeReady_FramesReachAPeerUntilStop) {
  Config.FileSharing = false;
  Config.ScreenBroadcast = true;
  TFramePeer peer;
  Create();
  App->SetScreenSource([](std::string&) { return std::make_unique<TPlainScreen>(); });
  StartApp();
  const auto started = Messages();
  ASSERT_GE(started.size(), 2u);
  EXPECT_EQ(started[started.size() - 2], "Screen broadcast started");
  ASSERT_TRUE(WaitFor([&] {
    Announce("peer", peer.Port, Pondar::Core::CurrentUtcTime());
    return !App->GetPeers().empty();
  }));
  // A key frame of 2 x 2 tiles, 8 + 4 x (8 + a few bytes of zlib each).
  ASSERT_TRUE(WaitFor([&] { return peer.Frames.Count() >= 2; }, std::chrono::seconds(10)));
  App->Stop();
  const size_t atStop = peer.Frames.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(peer.Frames.Count(), atStop);
  EXPECT_EQ(peer.Frames.All()[1], "local:8");  // an unchanged screen: an empty delta
}

TEST_F(AppTest, ScreenBroadcast_NoScreen_SaidOnceAndTheRestRuns) {
  Config.ScreenBroadcast = true;
  Create();
  App->SetScreenSource([](std::string& AWhy) {
    AWhy = "no X display";
    return std::unique_ptr<Pondard::Screen::TScreenSource>();
  });
  StartApp();
  const auto lines = Messages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "\u26A0 Screen broadcasting is unavailable: no X display"),
            1);
  EXPECT_EQ(lines.back(), "\u25B6 Ready");
}

// A frame names its sender and any host can write any name: a frame is taken only from the
// address discovery knows, under the name it knows there. Taken ones reach the window's sink,
// on its thread, decoded, only with receiving on; when the peer goes, its picture goes too.
TEST_F(AppTest, ScreenReceive_OnlyThePeerKnownAtTheAddress_PicturesGoWithThePeer) {
  using TVerdict = TScreenReceiver::TVerdict;
  Config.FileSharing = false;  // the peer serves nothing
  for (const bool receive : {false, true}) {
    SCOPED_TRACE(receive);
    Config.ScreenReceive = receive;
    Create();
    std::vector<std::string> shown;  // "name W", or "name 0" when its picture is gone
    App->SetScreenPictureSink(
        [&](const RawUtf8& AName, const Pondard::Screen::TScreenPicture& A) {
          shown.push_back(AName + " " + std::to_string(A.Width()));
        },
        [] { return std::make_unique<Pondard::Screen::TScreenViewer>(); });
    StartApp();
    ASSERT_TRUE(WaitFor([&] {
      Announce("eyes", 1, Pondar::Core::CurrentUtcTime());
      return !App->GetPeers().empty() && App->ServerPort() != 0;  // both bind on their threads
    }));
    // 40 names from the known address, each a picture of 8192 x 8192 (192 MB and more) if
    // taken, and the known name from another address.
    for (int i = 0; i <= 40; ++i)
      ASSERT_EQ(App->OnScreenFrameReceived(i < 40 ? "127.0.0.1" : "127.0.0.2",
                                           i < 40 ? "name" + std::to_string(i) : "eyes",
                                           PondarTest::Hostile::BlankFrame(8192, 8192)),
                TVerdict::NotThePeerAtThatAddress);
    // The peer's own frame; with receiving off the server closes before reading it.
    Pondar::Net::SendScreenFrame(PondarTest::Loopback, App->ServerPort(), "eyes",
                                 PondarTest::Hostile::BlankFrame(64, 48));
    WaitFor([&] { return Messages(), !shown.empty(); }, std::chrono::seconds(receive ? 5 : 1));
    EXPECT_EQ(App->ScreenViewers(), receive ? 1u : 0u);
    ASSERT_EQ(shown, receive ? std::vector<std::string>{"eyes 64"} : std::vector<std::string>{});
    shown.clear();
    Announce("eyes", 1, 0, Pondar::Net::TDiscoveryKind::dkGoodbye);
    WaitFor([&] { return Messages(), !shown.empty(); }, std::chrono::seconds(receive ? 5 : 1));
    EXPECT_EQ(shown, receive ? std::vector<std::string>{"eyes 0"} : std::vector<std::string>{});
    EXPECT_EQ(App->ScreenViewers(), 0u);
    App.reset();
  }
}

TEST_F(AppTest, Headless_NoDisplay_ClipboardAndScreenSaidUnavailableOnce_FilesStillShared) {
  const TSandbox home;
  home.Write("Pondar/pondard.ini", "[Screen]\nBroadcast=1\n");
  // No display, and no Wayland session whose portal would be asked instead.
  auto peer = SpawnHeadless(home, {}, {"--clipboard"},
                            {{"DISPLAY", ""}, {"XDG_SESSION_TYPE", ""}, {"WAYLAND_DISPLAY", ""}});
  for (const std::string said :
       {"Clipboard sharing is unavailable: no X display (DISPLAY is not set)",
        "Screen broadcasting is unavailable: no X display to capture"}) {
    EXPECT_EQ(Occurrences(peer.ReadLog(), "\u26A0 " + said), 1u) << peer.ReadLog();
    EXPECT_EQ(Occurrences(peer.ReadStderr(), said), 1u) << peer.ReadStderr();
  }
  EXPECT_NE(peer.ReadLog().find("\u25AA 0 files"), std::string::npos);
  peer.Signal(SIGTERM);
  EXPECT_EQ(peer.WaitExit(std::chrono::seconds(10)), 0);
}

// A peer discovered again and again while its sync runs is synced once more when that sync
// ends, not once per discovery.
TEST_F(AppTest, PeerSync_OneRunningOneWaiting_RepeatsFoldIntoTheWaitingOne) {
  // The peer answers its one connection only after a while: the first sync runs meanwhile.
  PondarTest::TScriptedPeer peer([](const Pondar::Net::TSocket&, const std::atomic<bool>& AStop) {
    for (int i = 0; i < 30 && !AStop; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  Config.UdpPort = 0;  // no discovery traffic of its own: the test plays the peer's arrivals
  Create();
  StartApp();
  const TPeerInfo remote{"remote", "127.0.0.1", peer.Port(), 0, Pondar::Core::CurrentUtcTime()};
  // Once the first runs, the repeats fold into one waiting behind it.
  std::thread([&] { App->OnPeerDiscovered(remote); }).join();
  ASSERT_TRUE(WaitFor([&] { return Count("\u21C4 remote...") == 1; }));
  std::thread([&] {
    for (int i = 0; i < 5; ++i) App->OnPeerDiscovered(remote);
  }).join();
  // The first sync ends after 1.5 s; the waiting one then finds the peer gone (one connection).
  ASSERT_TRUE(
      WaitFor([&] { return Count("\u26A0 remote - unreachable") == 2; }, std::chrono::seconds(20)));
  ASSERT_TRUE(WaitFor([&] { return App->RunningSyncs() == 0; }));
  EXPECT_EQ(Count("\u21C4 remote..."), 2);
}
