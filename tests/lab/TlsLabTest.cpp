// Keyed mode between whole peers: two real "pondard --headless --clipboard" with the same network
// key sync a file and a clipboard text while tcpdump records the lab's bridge, and a third peer
// without the key stands beside them. Nothing of the file or the text crosses the bridge in the
// clear; the keyless peer gets nothing, and neither does a requester with the wrong key.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "net/Connection.h"
#include "net/NetworkKey.h"
#include "net/Transfer.h"
#include "support/HostileAgent.h"
#include "support/Keyed.h"
#include "support/NetLab.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using PondarTest::WaitFor;

namespace {

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(TlsLabTest, KeyedPeersShareFilesAndTextsOnlyEncryptedAndOnlyWithEachOther) {
  std::string why;
  if (!PondarTest::TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
  for (const char* program : {"xclip", "tcpdump"})
    if (!PondarTest::HaveProgram(program)) GTEST_SKIP() << program << " is not installed";
  PondarTest::TXvfb xs[2];
  for (auto& x : xs)
    if (!x.Ok()) GTEST_SKIP() << "no X: " << x.Why();

  PondarTest::TSandbox root;
  PondarTest::TNetLab lab(3);
  const std::string pcap = (lab.LogDir() / "bridge.pcap").string();
  auto capture = lab.Spawn(0, {"tcpdump", "-i", "plbr", "-U", "-s", "0", "-w", pcap, "tcp"});
  ASSERT_TRUE(
      WaitFor([&] { return capture.ReadLog().find("listening on") != std::string::npos; }, 30s))
      << capture.ReadLog();

  // Peers 1 and 2 hold the key, peer 3 none. Their texts and files are made of markers that
  // cannot turn up in a capture by chance.
  const std::string key = Pondar::Net::NewNetworkKey();
  const std::string fileMarker = "file-marker-5c1e0b7d-";
  std::string content;
  for (int i = 0; content.size() < 300000; ++i) content += fileMarker + std::to_string(i) + "\n";
  const std::string text = "clipboard-marker-93a2f6e1 said once";
  const char* tsanOptions = std::getenv("TSAN_OPTIONS");
  PondarTest::TLabProcess peers[3];
  for (int i = 1; i <= 3; ++i) {
    const fs::path own = root.Path() / ("p" + std::to_string(i));
    fs::create_directories(own / "appdata/Pondar");
    fs::create_directories(own / "folder");
    if (i < 3)
      std::ofstream(own / "appdata/Pondar/pondard.ini") << "[Network]\nKey=" << key << "\n";
    if (i == 1) std::ofstream(own / "folder/secret.txt", std::ios::binary) << content;
    PondarTest::TSpawnOptions options;
    options.Env = {
        {"APPDATA", (own / "appdata").string()},
        // Qt is not built for ThreadSanitizer: see ClipboardLabTest.
        {"TSAN_OPTIONS", std::string(tsanOptions ? tsanOptions : "") + ":report_bugs=0"}};
    std::vector<std::string> argv{PONDARD_EXE, "--headless",
                                  "--name",    "p" + std::to_string(i),
                                  "--folder",  (own / "folder").string()};
    if (i < 3) {
      options.Env["DISPLAY"] = xs[i - 1].Display();
      argv.push_back("--clipboard");
    }
    options.Streams = PondarTest::TLogStreams::StdoutOnly;
    peers[i - 1] = lab.Spawn(i, argv, options);
  }
  const auto describe = [&] {
    std::string out;
    for (int i = 1; i <= 3; ++i)
      out += "---- p" + std::to_string(i) + "\n" + peers[i - 1].ReadLog();
    return out;
  };
  const fs::path received = root.Path() / "p2/folder/secret.txt";
  ASSERT_TRUE(WaitFor([&] { return ReadFile(received) == content; }, 60s)) << describe();

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
      << describe();

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

  for (auto& peer : peers) peer.Signal(SIGTERM);
  for (auto& peer : peers) EXPECT_EQ(peer.WaitExit(10s), 0) << peer.ReadStderr();
  capture.Signal(SIGTERM);
  ASSERT_TRUE(capture.WaitExit(10s).has_value());

  // The keyless peer saw no one and got nothing; the keyed ones never listed it.
  EXPECT_FALSE(fs::exists(root.Path() / "p3/folder/secret.txt"));
  EXPECT_EQ(peers[2].ReadLog().find("\u25CF p"), std::string::npos) << describe();
  for (int i = 1; i <= 2; ++i)
    EXPECT_EQ(peers[i - 1].ReadLog().find("\u25CF p3"), std::string::npos) << describe();
  // The file crossed the bridge (the capture holds more than its size), yet no marker did.
  const std::string captured = ReadFile(pcap);
  EXPECT_GT(captured.size(), content.size());
  EXPECT_EQ(captured.find(fileMarker), std::string::npos);
  EXPECT_EQ(captured.find("clipboard-marker-93a2f6e1"), std::string::npos);
  EXPECT_EQ(captured.find("secret.txt"), std::string::npos);
}

}  // namespace
