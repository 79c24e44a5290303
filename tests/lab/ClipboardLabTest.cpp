// Three whole peers, each a real "pondard --headless --clipboard" in a network namespace of its
// own with an X display of its own, sharing the CLIPBOARD selection: copies made in turn on
// every desk, some faster than the watcher reports, end with the last one on every desk, and no
// text ever comes back to where it came from, nor text that the desktop does not keep as it came.
#include <gtest/gtest.h>
#include <signal.h>

#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/HostileAgent.h"
#include "support/LabPeers.h"
#include "support/NetLab.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

using namespace std::chrono_literals;
using PondarTest::RunOnDisplay;
using PondarTest::WaitFor;

namespace {

constexpr int PeerCount = 3;
constexpr int TextCount = 100;

// Text I is I + 10 bytes long, so the byte count of a log line tells which text it was.
std::string Text(int AIndex) {
  std::string text = "clip " + std::to_string(AIndex) + " ";
  text.resize(static_cast<size_t>(AIndex) + 10, static_cast<char>('a' + AIndex % 26));
  return text;
}
int PeerOf(int AIndex) {
  return AIndex % PeerCount + 1;
}

// The texts (byte count - 10) of a log's "Clipboard sent" (ASent) or "received" lines, in order.
std::vector<int> Texts(const std::string& ALog, bool ASent) {
  static const std::regex line("\u21C4 Clipboard (sent|received) \\((\\d+) bytes\\)");
  std::vector<int> out;
  for (std::sregex_iterator it(ALog.begin(), ALog.end(), line), end; it != end; ++it)
    if (((*it)[1] == "sent") == ASent) out.push_back(std::stoi((*it)[2]) - 10);
  return out;
}

class ClipboardLabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!PondarTest::TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
    if (!PondarTest::HaveProgram("xclip")) GTEST_SKIP() << "xclip is not installed (Debian xclip)";
    for (auto& x : Xs)
      if (!(x = std::make_unique<PondarTest::TXvfb>())->Ok()) GTEST_SKIP() << "no X: " << x->Why();
    Lab = std::make_unique<PondarTest::TNetLab>(PeerCount);
    Peers = std::make_unique<PondarTest::TLabPeers>(*Lab, Root.Path());
    // The watcher's threads are covered by its unit tests, with a fake clipboard.
    for (int i = 1; i <= PeerCount; ++i)
      Peers->Start(i, {"--clipboard"}, PondarTest::QtPeerEnv(Xs[i - 1]->Display()));
    ASSERT_TRUE(Peers->WaitAllReady(30s)) << Peers->Describe();
    // Xvfb listens in the test's namespace; the peers reach it by its socket file.
    for (int i = 1; i <= PeerCount; ++i)
      ASSERT_EQ(Log(i).find("Clipboard sharing is unavailable"), std::string::npos) << Log(i);
    ASSERT_TRUE(Peers->WaitAllFound(60s)) << Peers->Describe();
  }
  void TearDown() override {
    // The peers go before their displays: a Qt peer whose display vanishes dies with it.
    if (!Peers) return;
    EXPECT_EQ(Peers->StopAll(20s), "");
    if (HasFailure()) std::cerr << Peers->Describe();
  }

  std::string Log(int APeer) const { return Peers->Log(APeer); }
  // xclip stays in the background to serve the selection until another owner takes it.
  void Copy(int APeer, const std::string& AText, std::vector<std::string> AType = {}) {
    std::vector<std::string> argv{"xclip", "-selection", "clipboard", "-i"};
    argv.insert(argv.end() - 1, AType.begin(), AType.end());
    const auto r = RunOnDisplay(Xs[APeer - 1]->Display(), argv, AText);
    ASSERT_EQ(r.Status, 0) << r.Err;
  }
  std::string Pasted(int APeer) const {
    return RunOnDisplay(Xs[APeer - 1]->Display(), {"xclip", "-o", "-selection", "clipboard"}).Out;
  }
  std::string Counts() const {  // for failure messages
    std::ostringstream s;
    for (int i = 1; i <= PeerCount; ++i)
      s << " peer " << i << ": " << Texts(Log(i), true).size() << " sent, "
        << Texts(Log(i), false).size() << " received;";
    return s.str();
  }

  PondarTest::TSandbox Root;
  std::unique_ptr<PondarTest::TXvfb> Xs[PeerCount];
  std::unique_ptr<PondarTest::TNetLab> Lab;
  std::unique_ptr<PondarTest::TLabPeers> Peers;
};

}  // namespace

TEST_F(ClipboardLabTest, ThreePeers_LastCopyEverywhere_PicturesStay_NothingComesBack) {
  // A picture is not text: the watcher sees the change and lets it be. At 300 bytes it would
  // pass for no text, so a late send of it still shows below.
  std::string png = "\x89PNG\r\n\x1a\n";
  png.resize(300, '\x7f');
  Copy(1, png, {"-t", "image/png"});
  std::this_thread::sleep_for(1500ms);  // several polls and report gaps
  EXPECT_TRUE(Texts(Log(1), true).empty()) << Log(1);

  // Copies in turn on every desk, alternately 150 ms (inside the report gap) and 600 ms apart.
  for (int i = 0; i + 1 < TextCount; ++i) {
    Copy(PeerOf(i), Text(i));
    std::this_thread::sleep_for(i % 2 ? 600ms : 150ms);
  }
  // Copies that cross on the network may leave desks apart until the next one; the last copy
  // comes once the others have settled (no line for five times the longest normal report).
  std::string seen;
  auto since = std::chrono::steady_clock::now();
  const auto settled = [&] {
    if (std::string now = Counts(); now != seen)
      seen = now, since = std::chrono::steady_clock::now();
    return std::chrono::steady_clock::now() - since >= 3500ms;
  };
  ASSERT_TRUE(WaitFor(settled, 60s)) << "the peers kept sending:" << seen;
  const int last = TextCount - 1;
  Copy(PeerOf(last), Text(last));
  for (int i = 1; i <= PeerCount; ++i)
    EXPECT_TRUE(WaitFor([&] { return Pasted(i) == Text(last); }, 30s))
        << "peer " << i << " holds \"" << Pasted(i) << "\";" << Counts();

  // Peer 1 is sent, from peer 3's host as any program there could, text that X11 does not keep
  // as it came (it gave back 3000 bytes of U+FFFD for the first and "before" for the second,
  // which went to every desk as copies): one line each, and nothing written or passed on.
  for (const auto& text : {std::string(1000, '\xFF'), std::string("before\0after", 12)}) {
    const auto message = PondarTest::Hostile::ClipboardMessage(text);
    ASSERT_EQ(Lab->Run(3, PondarTest::Hostile::ShellSend(message, Lab->PeerIp(1), 7732)), 0);
  }
  const std::string refused = "but refused: not plain UTF-8 text";
  EXPECT_TRUE(WaitFor([&] { return PondarTest::Occurrences(Log(1), refused) == 2; }, 30s))
      << Log(1);
  std::this_thread::sleep_for(2s);  // time enough for a text to come back, if it did
  EXPECT_EQ(Pasted(1), Text(last));

  std::map<int, int> sentBy;  // text -> how often any peer sent it
  std::ostringstream wrong;
  for (int i = 1; i <= PeerCount; ++i) {
    std::map<int, int> received;
    for (int text : Texts(Log(i), false))
      if (++received[text] == 2) wrong << " peer " << i << " received text " << text << " twice;";
    for (int text : Texts(Log(i), true)) {
      if (++sentBy[text] == 2) wrong << " text " << text << " was sent twice;";
      if (text < 0 || text >= TextCount || PeerOf(text) != i)
        wrong << " peer " << i << " sent text " << text << ", not copied there;";
    }
  }
  EXPECT_EQ(wrong.str(), "") << Counts();
  EXPECT_EQ(sentBy[last], 1) << "how often the last text was sent;" << Counts();
}
