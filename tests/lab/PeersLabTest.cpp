// Whole peers, each a real "pondard --headless" in a network namespace of its own, keeping
// their folders in step over a private bridge.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fs/Scanner.h"
#include "support/Bytes.h"
#include "support/HostileAgent.h"
#include "support/LabPeers.h"
#include "support/NetLab.h"
#include "support/RawSockets.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using PondarTest::TLabProcess;
using PondarTest::TNetLab;
using PondarTest::WaitFor;
namespace Hostile = PondarTest::Hostile;
using PondarTest::B;
using PondarTest::Le16;
using PondarTest::Le32;

namespace {

constexpr int64_t PastUnix = 1700000000;

// A change notice that reaches a peer inside its 3 s notice window is taken up when the window
// ends, so a burst of syncing pauses that long between syncs (3.2 s measured here). Five such
// pauses without a sync begun mean the burst is over.
constexpr auto QuietFor = 16s;

struct TFileState {
  uintmax_t Size = 0;
  int64_t MTime = 0;
  std::string Hash;
  bool operator==(const TFileState&) const = default;
};
using TFolderState = std::map<std::string, TFileState>;

// Every file below ARoot, temporary ones included, with size, whole-second time and content.
TFolderState StateOf(const fs::path& ARoot) {
  TFolderState out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(ARoot, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    struct stat st {};
    if (::stat(it->path().c_str(), &st) != 0) continue;
    out[it->path().lexically_relative(ARoot).string()] = {
        static_cast<uintmax_t>(st.st_size), st.st_mtim.tv_sec,
        Pondar::Fs::HashFileSha256(it->path().string())};
  }
  return out;
}

std::string Describe(const TFolderState& AState) {
  std::ostringstream s;
  for (const auto& [path, f] : AState) s << "  " << path << " " << f.Size << " " << f.MTime << "\n";
  return s.str();
}

class PeersLabTest : public ::testing::Test {
 protected:
  static constexpr int PeerCount = 3;

  void SetUp() override {
    std::string why;
    if (!TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
    Lab = std::make_unique<TNetLab>(PeerCount);
    Peers = std::make_unique<PondarTest::TLabPeers>(*Lab, Root.Path());
    for (int i = 1; i <= PeerCount; ++i) fs::create_directories(Folder(i));
  }
  void TearDown() override {
    if (!Peers) return;
    for (int i = 1; i <= PeerCount; ++i) {
      if (!Proc(i).Running()) continue;
      Proc(i).Signal(SIGTERM);
      EXPECT_EQ(Proc(i).WaitExit(10s), 0) << "a peer did not stop cleanly: "
                                          << Proc(i).ReadStderr();
    }
    if (!HasFailure()) return;
    std::cerr << Peers->Describe();
    for (int i = 1; i <= PeerCount; ++i)
      std::cerr << "---- peer " << i << " folder\n" << Describe(StateOf(Folder(i)));
  }

  fs::path Folder(int APeer) const { return Peers->Folder(APeer); }
  TLabProcess& Proc(int APeer) { return Peers->Process(APeer); }
  std::string Log(int APeer) { return Peers->Log(APeer); }
  void StartPeer(int APeer) {
    Peers->Start(APeer);
    ASSERT_TRUE(WaitFor([&] { return Log(APeer).find("\u25B6 Ready") != std::string::npos; }, 10s))
        << Proc(APeer).ReadStderr();
  }

  // The hostile host is lab peer 2: no program runs there, its sockets are the test's own.
  static constexpr int Agent = 2;
  std::string Ip(int APeer) const { return Lab->PeerIp(APeer); }
  Hostile::TInNetns AtAgent() const { return Hostile::TInNetns(Lab->NamespaceName(Agent)); }
  // An honest request for peer 1's list, made from the agent's host: the time until the whole
  // (empty) list has come, or nullopt when it did not within 10 s.
  std::optional<std::chrono::milliseconds> TimeAnHonestList() {
    const auto start = std::chrono::steady_clock::now();
    PondarTest::TReply reply;
    {
      const auto in = AtAgent();
      reply = PondarTest::Ask(7732, B({1}), 10s, Ip(1).c_str());
    }
    if (!reply.Closed || reply.Bytes != B({4, 0, 0, 0, 0, 0, 0, 0})) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
  }

  void Put(int APeer, const std::string& ARelPath, const std::string& AContent, int64_t AUnix = 0) {
    const fs::path path = Folder(APeer) / ARelPath;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << AContent;
    if (AUnix) PondarTest::SetMTime(path, AUnix);
  }

  // True once every running peer's folder holds the same files with the same times and content.
  bool Converged(const std::vector<int>& APeers, std::chrono::milliseconds ATimeout) {
    return WaitFor(
        [&] {
          const TFolderState first = StateOf(Folder(APeers[0]));
          for (size_t i = 1; i < APeers.size(); ++i)
            if (StateOf(Folder(APeers[i])) != first) return false;
          return true;
        },
        ATimeout);
  }

  PondarTest::TSandbox Root;
  std::unique_ptr<TNetLab> Lab;
  std::unique_ptr<PondarTest::TLabPeers> Peers;
};

}  // namespace

TEST_F(PeersLabTest, ThreePeers_KeepOneFolderInStep_RenamesStayRenamed_ARestartServesAtOnce) {
  Put(1, "a.txt", "alpha from one", PastUnix);
  Put(1, "docs/b.txt", "bravo from one", PastUnix + 1);
  Put(2, "c.txt", "charlie from two", PastUnix + 2);
  Put(2, "deep/x/y.txt", "yankee from two", PastUnix + 3);
  Put(3, "z.txt", "zulu from three, who joins late", PastUnix + 4);

  // Different files on each become the same set on both.
  StartPeer(1);
  StartPeer(2);
  ASSERT_TRUE(Converged({1, 2}, 20s));
  EXPECT_EQ(StateOf(Folder(1)).size(), 4u);
  EXPECT_EQ(StateOf(Folder(2))["docs/b.txt"].MTime, PastUnix + 1);

  // Create, modify, delete and rename, also in nested folders, on both peers at once and while
  // the syncs of the first exchange may still run: a pull must not fetch back what was just
  // deleted.
  Put(1, "new/nested/file.txt", "created on one");
  fs::rename(Folder(1) / "docs/b.txt", Folder(1) / "docs/renamed.txt");
  Put(2, "c.txt", "charlie, modified on two");
  fs::remove(Folder(2) / "a.txt");
  ASSERT_TRUE(Converged({1, 2}, 20s));
  const TFolderState afterEdits = StateOf(Folder(1));
  EXPECT_TRUE(afterEdits.contains("new/nested/file.txt"));
  EXPECT_TRUE(afterEdits.contains("docs/renamed.txt"));
  EXPECT_FALSE(afterEdits.contains("docs/b.txt"));
  EXPECT_FALSE(afterEdits.contains("a.txt"));
  EXPECT_EQ(PondarTest::ReadFile(Folder(1) / "c.txt"), "charlie, modified on two");

  // A 100 MB file arrives whole. It is written beside the folder and moved in, as a finished file.
  {
    const fs::path staging = Root.Path() / "big.bin";
    std::ofstream out(staging, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (int i = 0; i < 100; ++i) {
      for (size_t j = 0; j < block.size(); j += 4096) block[j] = static_cast<char>(i + j / 4096);
      out << block;
    }
    out.close();
    fs::rename(staging, Folder(1) / "big.bin");
  }
  ASSERT_TRUE(Converged({1, 2}, 60s));
  EXPECT_EQ(StateOf(Folder(2))["big.bin"].Size, 100u << 20);

  // One rename of a folder: the peers are told of each file it held, not only of the folder,
  // and no peer ever brings the old names back (checked once all are quiet, below).
  fs::rename(Folder(2) / "deep", Folder(2) / "papers");
  ASSERT_TRUE(Converged({1, 2}, 20s));

  // A peer that joins late catches up, and brings its own file.
  StartPeer(3);
  ASSERT_TRUE(Converged({1, 2, 3}, 60s));
  EXPECT_TRUE(StateOf(Folder(1)).contains("z.txt"));

  // After the last change the peers fall quiet, and stay quiet.
  ASSERT_TRUE(Peers->WaitSettled(QuietFor, 120s)) << "the peers kept syncing";
  const std::vector<size_t> before = Peers->SyncsBegunEach();
  std::this_thread::sleep_for(10s);
  EXPECT_EQ(Peers->SyncsBegunEach(), before) << "the peers kept syncing";
  for (int i = 1; i <= PeerCount; ++i) {
    const TFolderState state = StateOf(Folder(i));
    EXPECT_TRUE(state.contains("papers/x/y.txt")) << "peer " << i;
    EXPECT_FALSE(state.contains("deep/x/y.txt")) << "peer " << i << "\n" << Describe(state);
  }

  // Peer 1 has served lists and files, so its port holds connections in TIME_WAIT; restarted
  // at once, it must still serve the others' pulls. It said goodbye as it stopped: the others
  // drop it at once, not after the 15 s of silence that drop a peer that left without a word.
  Proc(1).Signal(SIGTERM);
  ASSERT_EQ(Proc(1).WaitExit(10s), 0);
  EXPECT_TRUE(WaitFor([&] { return Log(2).find("\u25CB peer1\n") != std::string::npos; }, 5s))
      << Log(2);
  StartPeer(1);
  Put(1, "after-restart.txt", "served by the restarted peer");
  ASSERT_TRUE(Converged({1, 2, 3}, 20s));
  EXPECT_TRUE(StateOf(Folder(2)).contains("after-restart.txt"));
  EXPECT_EQ(Proc(1).ReadStderr().find("cannot be opened"), std::string::npos)
      << Proc(1).ReadStderr();
}

TEST_F(PeersLabTest, PeerKilledMidTransfer_LeavesNoPartialFile) {
  StartPeer(1);
  StartPeer(2);
  ASSERT_TRUE(Converged({1, 2}, 20s));

  // Big enough that the transfer is still going when its sender dies.
  const fs::path staging = Root.Path() / "huge.bin";
  {
    std::ofstream out(staging, std::ios::binary);
    const std::string block(1 << 20, 'h');
    for (int i = 0; i < 1024; ++i) out << block;
  }
  fs::rename(staging, Folder(1) / "huge.bin");
  ASSERT_TRUE(WaitFor([&] { return fs::exists(Folder(2) / "huge.bin.pondartmp"); }, 20s));
  Proc(1).Signal(SIGKILL);
  Proc(1).WaitExit(5s);

  // The receiver drops its temporary file, and nothing partial ever stands under the name.
  ASSERT_TRUE(WaitFor([&] { return !fs::exists(Folder(2) / "huge.bin.pondartmp"); }, 60s))
      << Describe(StateOf(Folder(2)));
  if (fs::exists(Folder(2) / "huge.bin")) {
    EXPECT_EQ(fs::file_size(Folder(2) / "huge.bin"), 1u << 30);  // it finished before the kill
  }
  EXPECT_TRUE(Proc(2).Running());
}

// ---- one host that misbehaves (lab peer 2) against peer 1, with peer 3 honest ----

// Two requests that trickle for ever, and meanwhile a flood of 2 000 names that all lead to a
// silent port: neither delays an honest request or an honest peer's sync.
TEST_F(PeersLabTest, Hostile_TricklingRequestsAndANameFlood_DelayNoOther_AndCostLittle) {
  StartPeer(1);
  struct TCase {
    const char* Name;
    PondarTest::TBytes Prefix;  // then a byte every 2 s, for ever
  };
  const TCase cases[] = {
      {"clipboard text announced at 100 MiB", B({5}) + Le32(100 << 20)},
      {"file path of 16 bytes", B({2}) + Le16(16)},
  };
  std::vector<std::unique_ptr<Hostile::TTricklingClient>> tricklers;
  {
    const auto in = AtAgent();
    for (const auto& c : cases)
      tricklers.push_back(std::make_unique<Hostile::TTricklingClient>(Ip(1), 7732, c.Prefix, 2s));
  }
  std::this_thread::sleep_for(1s);  // both are being served (or waited for) by now
  const auto honest = TimeAnHonestList();
  ASSERT_TRUE(honest) << "an honest list request waited behind the trickling requests";
  std::cout << "honest list request while two requests trickle: " << honest->count() << " ms\n";
  EXPECT_LT(*honest, 5s);

  std::unique_ptr<Hostile::TSilentServer> silent;
  std::vector<std::string> names;
  for (int i = 0; i < 2000; ++i) names.push_back("flood-" + std::to_string(i));
  {
    const auto in = AtAgent();
    silent = std::make_unique<Hostile::TSilentServer>();
    Hostile::TAnnouncer(Ip(1), 7731).Announce(names, silent->Port());
  }
  // Every name found, and each given a sync that hangs on the silent port.
  Hostile::TProcessLoad peak;
  WaitFor(
      [&] {
        const auto now = Hostile::LoadOf(Proc(1).Pid());
        peak.Descriptors = std::max(peak.Descriptors, now.Descriptors);
        peak.Threads = std::max(peak.Threads, now.Threads);
        return false;
      },
      15s);
  std::cout << "2 000-name flood beside two trickling requests: at most " << peak.Descriptors
            << " descriptors, " << peak.Threads << " threads; " << silent->Accepted()
            << " connections to the silent port\n";
  EXPECT_LT(peak.Descriptors, 100);
  EXPECT_LT(peak.Threads, 50);
  EXPECT_TRUE(TimeAnHonestList()) << "the server stopped answering";
  // An honest peer that comes now is synced with at once, not after the flood's 2 000 syncs.
  Put(3, "honest.txt", "synced meanwhile", PastUnix);
  StartPeer(3);
  EXPECT_TRUE(WaitFor([&] { return fs::exists(Folder(1) / "honest.txt"); }, 20s)) << Log(1);

  // The budget of a request is for the whole of it (30 s), not for each byte.
  for (size_t i = 0; i < tricklers.size(); ++i) {
    EXPECT_TRUE(WaitFor([&] { return tricklers[i]->Dropped(); }, 60s)) << cases[i].Name;
    EXPECT_LT(tricklers[i]->HeldFor(), 45s) << cases[i].Name;
  }
}

// A host that lists a file and then stalls its download, and later one that takes no
// connection at all (a black hole), against peer 1 with peer 3 honest.
TEST_F(PeersLabTest, Hostile_StalledDownloadThenABlackHole_HoldUpNoOtherPeerNorTheStop) {
  for (int i = 0; i < 20; ++i) Put(1, "gone/f" + std::to_string(i) + ".txt", "x", PastUnix);
  StartPeer(1);
  std::unique_ptr<Hostile::TStalledFileServer> stalled;
  {
    const auto in = AtAgent();
    const double listedAt = 25569.0 + PastUnix / 86400.0;
    stalled = std::make_unique<Hostile::TStalledFileServer>(
        "0.0.0.0", Pondar::Core::TFileEntries{{"f.txt", 1000, listedAt, ""}}, 1);
    Hostile::TAnnouncer(Ip(1), 7731).Announce({"stalls"}, stalled->Port());
  }
  ASSERT_TRUE(WaitFor([&] { return stalled->FileRequests() > 0; }, 20s)) << Log(1);
  // An honest peer with a newer copy of the same file: the stalled download holds the path
  // until its budget (30 s) runs out, and no longer.
  Put(3, "f.txt", "the honest copy", PastUnix + 100);
  StartPeer(3);
  EXPECT_TRUE(
      WaitFor([&] { return PondarTest::ReadFile(Folder(1) / "f.txt") == "the honest copy"; }, 90s))
      << Log(1);
  ASSERT_TRUE(Converged({1, 3}, 30s));

  std::unique_ptr<Hostile::TBlackHole> hole;
  std::unique_ptr<Hostile::TAnnouncer> announcer;
  {
    const auto in = AtAgent();
    hole = std::make_unique<Hostile::TBlackHole>(Ip(Agent));
    announcer = std::make_unique<Hostile::TAnnouncer>(Ip(1), 7731);
  }
  // Announced all along, as a live peer is: never dropped for silence.
  std::jthread announcing([&](std::stop_token AStop) {
    while (!AStop.stop_requested()) {
      announcer->Announce({"blackhole"}, hole->Port());
      std::this_thread::sleep_for(1s);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return Log(1).find("\u25CF blackhole") != std::string::npos; }, 10s));
  // Twenty delete notices for each peer: the honest one applies them at once, while the black
  // hole's wait for connections. Then a change the honest peer must hear of.
  fs::remove_all(Folder(1) / "gone");
  ASSERT_TRUE(WaitFor([&] { return StateOf(Folder(3)).size() == 1; }, 20s)) << Log(1);
  Put(1, "after.txt", "told at once");
  EXPECT_TRUE(WaitFor([&] { return fs::exists(Folder(3) / "after.txt"); }, 20s)) << Log(1);
  // Stopping waits for no notice; a sync with the black hole may cost its connect time-out (5 s).
  Proc(1).Signal(SIGTERM);
  EXPECT_EQ(Proc(1).WaitExit(30s), 0) << "stopping waited for the notices";
}
