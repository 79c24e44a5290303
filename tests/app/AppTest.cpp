#include "app/App.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "core/Captions.h"
#include "net/Protocol.h"
#include "net/TcpServer.h"
#include "support/RawSockets.h"
#include "support/ScriptedPeer.h"
#include "support/ServedFolder.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace Pondard::Core;
using Pondar::Core::TFileEntries;
using PondarTest::FreePort;
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
  }
  // Messages logged so far, without their time stamps; pumps the queue as the window would.
  std::vector<std::string> Messages() {
    Queue->RunPending();
    std::vector<std::string> out;
    for (const auto& line : Lines) out.push_back(line.size() > 11 ? line.substr(11) : line);
    return out;
  }
  bool WaitForMessage(const std::string& AMessage, std::chrono::milliseconds ATimeout =
                                                      std::chrono::seconds(5)) {
    return WaitFor([&] { return Count(AMessage) > 0; }, ATimeout);
  }
  int Count(const std::string& AMessage) {
    const auto all = Messages();
    return static_cast<int>(std::count(all.begin(), all.end(), AMessage));
  }
  // Announces a peer to the engine's discovery socket, as a peer's broadcast would.
  void Announce(const std::string& AName, uint16_t ATcpPort, double AUtcTime) {
    const auto datagram = Pondar::Net::BuildDiscoveryPacket(
        Pondar::Net::TDiscoveryKind::dkAnnounce, ATcpPort, AName, AUtcTime);
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(Config.UdpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  }

  TSandbox Folder;
  TPondardConfig Config;
  std::shared_ptr<TLoopDeliveryQueue> Queue = std::make_shared<TLoopDeliveryQueue>();
  std::unique_ptr<TPondardApp> App;
  std::vector<RawUtf8> Lines;
};

}  // namespace

TEST_F(AppTest, Start_LogsScanCountAndReadyBeforeReturning) {
  Folder.Write("a.txt", "a");
  Folder.Write("sub/b.txt", "b");
  Create();
  App->Start();
  // Start runs on the queue's owner thread, so its lines arrive without pumping.
  ASSERT_EQ(Lines.size(), 3u);
  const std::regex stamp(R"(^\[\d\d:\d\d:\d\d\] .*)");
  for (const auto& line : Lines) EXPECT_TRUE(std::regex_match(line, stamp)) << line;
  EXPECT_EQ(Messages(), (std::vector<std::string>{"\u2026 Scanning...", "\u25AA 2 files",
                                                  "\u25B6 Ready"}));
  EXPECT_EQ(App->Entries().size(), 2u);
  EXPECT_NE(App->ServerPort(), 0);
}

TEST_F(AppTest, StartAndStop_Twice_SecondCallChangesNothing) {
  Create();
  App->Start();
  App->Start();
  EXPECT_EQ(Lines.size(), 3u);
  App->Stop();
  App->Stop();
  EXPECT_FALSE(App->Running());
  EXPECT_EQ(App->ServerPort(), 0);
  App->Start();  // a restart brings every worker back
  EXPECT_EQ(Lines.size(), 6u);
  EXPECT_TRUE(WaitFor([&] { return App->ServerPort() == Config.TcpPort; }));
}

TEST_F(AppTest, Start_MissingFolder_ZeroFilesAndStillReady) {
  Config.Folder = (Folder.Path() / "nope").string();
  Create();
  App->Start();
  EXPECT_EQ(Messages(), (std::vector<std::string>{"\u2026 Scanning...", "\u25AA 0 files",
                                                  "\u25B6 Ready"}));
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

TEST_F(AppTest, OnPeerDiscovered_ClockDrift_5_4sAcceptedAnd5_5sRefused) {
  Create();
  App->Start();
  const double now = Pondar::Core::CurrentUtcTime();
  const uint16_t closedPort = FreePort(SOCK_STREAM);
  std::thread discovery([&] {
    App->OnPeerDiscovered({"near", "127.0.0.1", closedPort, 0, now + 5.4 / 86400.0});
    App->OnPeerDiscovered({"wren", "127.0.0.1", closedPort, 0, now - 5.5 / 86400.0});
  });
  discovery.join();
  EXPECT_TRUE(WaitForMessage("\u2713 Up to date"));  // the unreachable peer gives nothing
  const auto all = Messages();
  EXPECT_EQ(Count("\u25CF near (127.0.0.1)"), 1);
  EXPECT_EQ(Count("\u21C4 near..."), 1);
  EXPECT_EQ(Count("\u26A0 wren - clock drift 6s exceeds 5s limit"), 1);
  EXPECT_EQ(Count("\u21C4 wren..."), 0);
}

TEST_F(AppTest, OnPeerDiscovered_FileSharingOff_LoggedButNoSync) {
  Config.FileSharing = false;
  Create();
  App->Start();
  EXPECT_EQ(Messages(), std::vector<std::string>{"\u25B6 Ready"});
  std::thread([&] {
    App->OnPeerDiscovered({"wren", "127.0.0.1", 1, 0, Pondar::Core::CurrentUtcTime()});
  }).join();
  EXPECT_TRUE(WaitForMessage("\u25CF wren (127.0.0.1)"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Count("\u21C4 wren..."), 0);
  EXPECT_EQ(App->RunningSyncs(), 0u);
}

TEST_F(AppTest, DiscoveredPeer_FilesFetchedThenChangeNoticesRateLimitedButTakenUp) {
  PondarTest::TServedFolder peer;
  peer.Put("shared.txt", "version 1", BaseUnix);
  const uint16_t peerPort = peer.Start();
  Create();
  App->Start();

  // The engine's discovery binds on its own thread: announce until it has heard us.
  ASSERT_TRUE(WaitFor([&] {
    Announce("remote", peerPort, Pondar::Core::CurrentUtcTime());
    return !App->GetPeers().empty();
  }));
  ASSERT_TRUE(WaitForMessage("\u2713 1 received, 0 sent"));
  EXPECT_EQ(Folder.Read("shared.txt"), "version 1");
  EXPECT_EQ(Count("\u25CF remote (127.0.0.1)"), 1);
  ASSERT_EQ(App->GetPeers().size(), 1u);

  // A first notice is taken up at once; one inside its window waits for the window's end, and
  // the change that came with it is not lost.
  peer.Put("shared.txt", "version 2", BaseUnix + 10);
  std::thread([&] { App->OnChangesNotify("127.0.0.1", 0); }).join();
  ASSERT_TRUE(WaitFor([&] { return Count("\u21C4 remote...") == 2; }));
  ASSERT_TRUE(WaitFor([&] { return Folder.Read("shared.txt") == "version 2"; }));
  const auto second = std::chrono::steady_clock::now();
  peer.Put("shared.txt", "version 3", BaseUnix + 20);
  std::thread([&] { App->OnChangesNotify("127.0.0.1", 0); }).join();
  std::thread([&] { App->OnChangesNotify("127.0.0.1", 0); }).join();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(Count("\u21C4 remote..."), 2);
  EXPECT_EQ(Folder.Read("shared.txt"), "version 2");
  ASSERT_TRUE(WaitFor([&] { return Folder.Read("shared.txt") == "version 3"; }));
  EXPECT_GE(std::chrono::steady_clock::now() - second, std::chrono::milliseconds(2500));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Count("\u21C4 remote..."), 3);  // two dropped notices, one take-up

  // A notice from an address not in the table is ignored.
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  std::thread([&] { App->OnChangesNotify("10.1.2.3", 0); }).join();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Count("\u21C4 remote..."), 3);
}

TEST_F(AppTest, OnFileChange_SecondChangeInsideWindow_TakenUpOnceWhenItEnds) {
  Create();
  App->Start();
  Folder.Write("a.txt", "a");
  const auto first = std::chrono::steady_clock::now();
  std::thread([&] { App->OnFileChange(Pondar::Core::TFileAction::faModified, "a.txt"); }).join();
  EXPECT_TRUE(WaitForMessage("\u25B3 a.txt"));
  EXPECT_EQ(App->Entries().size(), 1u);  // rescanned

  Folder.Write("b.txt", "b");
  std::thread([&] {
    App->OnFileChange(Pondar::Core::TFileAction::faModified, "a.txt");
    App->OnFileChange(Pondar::Core::TFileAction::faCreated, "b.txt");
    // Deletes are never held back.
    App->OnFileChange(Pondar::Core::TFileAction::faDeleted, "a.txt");
  }).join();
  EXPECT_TRUE(WaitForMessage("\u2715 a.txt", std::chrono::milliseconds(300)));
  EXPECT_EQ(Count("\u25B3 b.txt"), 0);
  ASSERT_TRUE(WaitForMessage("\u25B3 b.txt"));
  EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(1990));
  EXPECT_EQ(App->Entries().size(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(Count("\u25B3 a.txt") + Count("\u25B3 b.txt"), 2);  // taken up once, not twice
}

TEST_F(AppTest, Destroy_WithSyncInFlight_ReturnsAndSinkNeverCalledAfterwards) {
  // A peer that accepts, then stays silent for a second before hanging up.
  PondarTest::TScriptedPeer silent([](const Pondar::Net::TSocket&, const std::atomic<bool>&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  });

  Create();
  App->Start();
  std::thread([&] {
    App->OnPeerDiscovered({"slow", "127.0.0.1", silent.Port(), 0, Pondar::Core::CurrentUtcTime()});
  }).join();
  ASSERT_TRUE(WaitFor([&] { return App->RunningSyncs() == 1; }));
  const auto stopping = std::chrono::steady_clock::now();
  App->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(900));
  EXPECT_EQ(App->RunningSyncs(), 1u);  // a stop does not wait for syncs
  App.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::milliseconds(7000));
  const size_t before = Lines.size();
  Queue->RunPending();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Queue->RunPending();
  EXPECT_EQ(Lines.size(), before);  // queued lines find no sink once the engine is gone
}
