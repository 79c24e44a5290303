// Keyed mode between whole peers: peer1 holds the network key in its settings, peer2 in a key
// file, peer3 none; both keyed ones share their clipboards. The keyed peers sync a file and a
// clipboard text while tcpdump records the lab's bridge, and host 4, played by the test, hears
// every broadcast and replays one. Nothing of the file or the text crosses the bridge in the
// clear; the keyless peer and the keyed ones never see each other, a requester without the key
// or with another one gets nothing, and an announcement replayed 31 s on is refused.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "net/Connection.h"
#include "net/NetworkKey.h"
#include "net/Transfer.h"
#include "support/Announce.h"
#include "support/HostileAgent.h"
#include "support/Keyed.h"
#include "support/LabPeers.h"
#include "support/NetLab.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using PondarTest::WaitFor;

namespace {

using PondarTest::ReadFile;

constexpr uint16_t UdpPort = 7731;
// Five rounds of periodic announcements (one about every 6 s in the lab).
constexpr auto FiveRounds = 32s;

TEST(TlsLabTest, KeyedPeersShareOnlyEncryptedAndOnlyWithEachOther_ReplayedAnnouncementRefused) {
  std::string why;
  if (!PondarTest::TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
  for (const char* program : {"xclip", "tcpdump"})
    if (!PondarTest::HaveProgram(program)) GTEST_SKIP() << program << " is not installed";
  PondarTest::TXvfb xs[2];
  for (auto& x : xs)
    if (!x.Ok()) GTEST_SKIP() << "no X: " << x.Why();

  PondarTest::TSandbox root;
  PondarTest::TNetLab lab(4);
  const std::string pcap = (lab.LogDir() / "bridge.pcap").string();
  auto capture = lab.Spawn(0, {"tcpdump", "-i", "plbr", "-U", "-s", "0", "-w", pcap, "tcp"});
  ASSERT_TRUE(
      WaitFor([&] { return capture.ReadLog().find("listening on") != std::string::npos; }, 30s))
      << capture.ReadLog();
  const auto host = lab.UdpSocket(4, UdpPort);  // hears every broadcast on the lab's bridge

  // Texts and files made of markers that cannot turn up in a capture by chance.
  const std::string key = Pondar::Net::NewNetworkKey();
  const std::string fileMarker = "file-marker-5c1e0b7d-";
  std::string content;
  for (int i = 0; content.size() < 300000; ++i) content += fileMarker + std::to_string(i) + "\n";
  const std::string text = "clipboard-marker-93a2f6e1 said once";
  PondarTest::TLabPeers peers(lab, root.Path());
  root.Write("appdata1/Pondar/pondard.ini", "[Network]\nKey=" + key + "\n");
  const auto keyFile = root.Write("key.txt", key + "\n");
  root.Write("peer1/secret.txt", content);
  peers.Start(1, {"--clipboard"}, PondarTest::QtPeerEnv(xs[0].Display()));
  peers.Start(2, {"--clipboard", "--key-file", keyFile.string()},
              PondarTest::QtPeerEnv(xs[1].Display()));
  peers.Start(3);
  const auto found = [&](int AIn, int AOf) {
    return peers.Log(AIn).find("\u25CF " + peers.Name(AOf) + " (") != std::string::npos;
  };
  ASSERT_TRUE(WaitFor([&] { return found(1, 2) && found(2, 1); }, 30s)) << peers.Describe();
  EXPECT_NE(peers.Log(1).find("Network key on: only peers with the same key are seen"),
            std::string::npos);

  ASSERT_TRUE(WaitFor([&] { return ReadFile(peers.Folder(2) / "secret.txt") == content; }, 60s))
      << peers.Describe();
  ASSERT_EQ(
      PondarTest::RunOnDisplay(xs[0].Display(), {"xclip", "-selection", "clipboard", "-i"}, text)
          .Status,
      0);
  EXPECT_TRUE(WaitFor(
      [&] {
        return PondarTest::RunOnDisplay(xs[1].Display(), {"xclip", "-o", "-selection", "clipboard"})
                   .Out == text;
      },
      30s))
      << peers.Describe();

  {
    // From the keyless peer's address: no list without the key, none with another one; with the
    // key, the list (so the refusals are the key's doing, not a closed port).
    const PondarTest::Hostile::TInNetns at(lab.NamespaceName(3));
    EXPECT_FALSE(Pondar::Net::RequestFileList(lab.PeerIp(1), 7732).has_value());
    {
      const PondarTest::TRequesterTls wrong(PondarTest::TestTls(1));
      EXPECT_FALSE(Pondar::Net::RequestFileList(lab.PeerIp(1), 7732).has_value());
    }
    Pondar::Net::TNetworkKey derived{};
    ASSERT_EQ(Pondar::Net::DeriveNetworkKey(key, derived), "");
    const PondarTest::TRequesterTls right(Pondar::Net::TTlsContext::Make(derived.Stream));
    const auto list = Pondar::Net::RequestFileList(lab.PeerIp(1), 7732);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->size(), 1u);
  }

  // A keyed announcement of peer1, as it crossed the wire; and proof that peer3's plain ones
  // reach the keyed peers, which name it and ignore it.
  Pondar::Core::TBytes recorded;
  ASSERT_TRUE(PondarTest::ReceiveUntil(host.Fd(), FiveRounds, [&](auto& ABytes, auto& AFrom) {
    if (AFrom == lab.PeerIp(1) && ABytes.size() > 4 && std::memcmp(ABytes.data(), "PNDK", 4) == 0)
      recorded = ABytes;
    return !recorded.empty();
  }));
  const auto recordedAt = std::chrono::steady_clock::now();
  const std::string noKey = "\u26A0 " + lab.PeerIp(3) + " has no or another network key: ignored";
  ASSERT_TRUE(WaitFor(
      [&] {
        return peers.Log(1).find(noKey) != std::string::npos &&
               peers.Log(2).find(noKey) != std::string::npos;
      },
      FiveRounds))
      << peers.Describe();

  // peer1 leaves; its announcement, replayed more than 30 s after it was made, must not bring
  // it back.
  ASSERT_TRUE(peers.Process(1).Signal(SIGTERM));
  EXPECT_EQ(peers.Process(1).WaitExit(10s), 0) << peers.Describe();
  ASSERT_TRUE(WaitFor(
      [&] { return peers.Log(2).find("\u25CB " + peers.Name(1)) != std::string::npos; }, 10s))
      << peers.Describe();
  std::this_thread::sleep_until(recordedAt + 31s);
  ASSERT_TRUE(PondarTest::SendDatagram(host.Fd(), "255.255.255.255", UdpPort, recorded));
  const std::string refused = "\u26A0 " + lab.PeerIp(4) + " has our network key but a clock ";
  EXPECT_TRUE(WaitFor([&] { return peers.Log(2).find(refused) != std::string::npos; }, 10s))
      << peers.Describe();

  EXPECT_EQ(peers.StopAll(10s), "");
  capture.Signal(SIGTERM);
  ASSERT_TRUE(capture.WaitExit(10s).has_value());

  // Over the whole run, in both directions: no keyed peer saw the keyless one, nor it them, and
  // the replay did not bring peer1 back.
  EXPECT_FALSE(fs::exists(peers.Folder(3) / "secret.txt"));
  EXPECT_FALSE(found(1, 3) || found(2, 3) || found(3, 1) || found(3, 2)) << peers.Describe();
  const std::string log2 = peers.Log(2);
  size_t seen = 0;
  for (size_t at = log2.find("\u25CF peer1 ("); at != std::string::npos;
       at = log2.find("\u25CF peer1 (", at + 1))
    ++seen;
  EXPECT_EQ(seen, 1u) << "the replay brought peer1 back\n" << peers.Describe();
  // The file crossed the bridge (the capture holds more than its size), yet no marker did.
  const std::string captured = ReadFile(pcap);
  EXPECT_GT(captured.size(), content.size());
  EXPECT_EQ(captured.find(fileMarker), std::string::npos);
  EXPECT_EQ(captured.find("clipboard-marker-93a2f6e1"), std::string::npos);
  EXPECT_EQ(captured.find("secret.txt"), std::string::npos);
}

}  // namespace
