// Eight whole peers, each a real "pondard --headless" in a network namespace of its own: one
// folder kept in step across all of them, and how often a change makes them pull file lists.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/LabPeers.h"
#include "support/NetLab.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using PondarTest::TLabPeers;
using PondarTest::TNetLab;
using TFiles = std::map<std::string, std::string>;  // relative path -> content

namespace {

constexpr int PeerCount = 8;

// A peer takes up its first local change at once and what follows inside the 2 s local window
// when that window ends, and a receiver takes up a notice that lands inside its 3 s notice
// window when that one ends: a change's syncs may begin up to about 5 s after it. Three times
// that without a sync begun means they are over, so no late pull is counted for the next change.
constexpr auto QuietFor = 16s;
constexpr auto SettleLimit = 180s;

// How many list pulls a change may cost each peer. The saving peer sends every other peer one
// change notice per take-up of its local changes: one for a single save, two for a burst written
// within one local window (the first change at once, the rest when the window ends). A receiver
// syncs, and so pulls the saver's list, once per notice at most: notices inside its notice
// window fold into one sync, and notices for a peer whose sync runs into one sync waiting. So
// two per peer, or the saver's take-ups when a slow machine spread its writes over more windows.
// A notice storm costs about seven: one pull per notice received, as when downloaded copies came
// back as local changes and every peer that received the file told the other seven.
constexpr size_t PullsPerChange = 2;

// Bytes no other run of the test writes, so that a copy left over from elsewhere cannot pass.
std::string UniqueContent(const std::string& ATag, size_t ASize) {
  static const std::string run =
      std::to_string(::getpid()) + "-" +
      std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
  std::mt19937_64 random(std::hash<std::string>{}(run + ATag));
  std::string out = ATag + " " + run + "\n";
  while (out.size() < ASize) out += static_cast<char>(' ' + random() % 95);
  out.resize(ASize);
  return out;
}

class EightPeersLabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
    Lab = std::make_unique<TNetLab>(PeerCount);
    Peers = std::make_unique<TLabPeers>(*Lab, Root.Path());
    Peers->StartAll();
    ASSERT_TRUE(Peers->WaitAllReady(30s)) << "not every peer got ready";
    ASSERT_TRUE(Peers->WaitAllFound(60s)) << "not every peer found the seven others";
    // Every peer syncs with each one it finds; those syncs are not the changes' cost.
    ASSERT_TRUE(Peers->WaitSettled(QuietFor, SettleLimit)) << "the first syncs never settled";
  }
  void TearDown() override {
    if (!Peers) return;
    EXPECT_EQ(Peers->StopAll(10s), "");
    if (HasFailure()) {
      std::cerr << Peers->Describe();
      for (int i = 1; i <= PeerCount; ++i) {
        std::cerr << "---- " << TLabPeers::Name(i) << " folder\n";
        for (const auto& [path, content] : PondarTest::FolderContents(Peers->Folder(i)))
          std::cerr << "  " << path << " " << content.size() << "\n";
      }
    }
  }

  void Write(int APeer, const TFiles& AFiles) {
    for (const auto& [path, content] : AFiles) {
      const fs::path full = Peers->Folder(APeer) / path;
      fs::create_directories(full.parent_path());
      std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
    }
  }

  // True once every peer holds AFiles with their very bytes. A poll picks up where the last one
  // stopped, peer by peer and file by file, so that it costs little while the files arrive.
  bool Arrive(const TFiles& AFiles, std::chrono::milliseconds ATimeout) {
    int peer = 1;
    auto next = AFiles.begin();
    return PondarTest::WaitFor(
        [&] {
          for (; peer <= PeerCount; ++peer, next = AFiles.begin()) {
            for (; next != AFiles.end(); ++next) {
              std::ifstream in(Peers->Folder(peer) / next->first, std::ios::binary);
              if (!in) return false;
              const std::string& want = next->second;
              std::string got(want.size() + 1, '\0');
              in.read(got.data(), static_cast<std::streamsize>(got.size()));
              got.resize(static_cast<size_t>(in.gcount()));
              if (got != want) return false;
            }
          }
          return true;
        },
        ATimeout);
  }

  // Where the logs stood before a change made on the saving peer.
  struct TMark {
    int Saver;
    std::vector<size_t> Begun;  // each peer's syncs begun
    size_t SaverLog;            // bytes of the saver's log
  };
  TMark Mark(int ASaver) const {
    return {ASaver, Peers->SyncsBegunEach(), Peers->Log(ASaver).size()};
  }

  // Once the peers have settled after the change marked by AMark: every folder holds exactly
  // AExpected, no "*.pondartmp" left over, and no peer pulled a list more often than the
  // change allows.
  void CheckAfterChange(const TMark& AMark, const TFiles& AExpected) {
    ASSERT_TRUE(Peers->WaitSettled(QuietFor, SettleLimit)) << "the peers kept syncing";
    for (int i = 1; i <= PeerCount; ++i)
      EXPECT_TRUE(PondarTest::FolderContents(Peers->Folder(i)) == AExpected)
          << TLabPeers::Name(i) << " holds other files or other bytes";

    const size_t takeUps =
        PondarTest::Occurrences(Peers->Log(AMark.Saver).substr(AMark.SaverLog), "] \u25B3 ");
    const size_t allowed = std::max(PullsPerChange, takeUps);
    const std::vector<size_t> after = Peers->SyncsBegunEach();
    size_t most = 0, total = 0;
    std::string each;
    for (int i = 1; i <= PeerCount; ++i) {
      const size_t pulls = after[i - 1] - AMark.Begun[i - 1];
      most = std::max(most, pulls);
      total += pulls;
      each += " " + TLabPeers::Name(i) + ":" + std::to_string(pulls);
    }
    EXPECT_LE(most, allowed) << "list pulls per peer:" << each << "; total " << total << "; "
                             << takeUps << " take-ups of local changes on the saver";
  }

  PondarTest::TSandbox Root;
  std::unique_ptr<TNetLab> Lab;
  std::unique_ptr<TLabPeers> Peers;
};

}  // namespace

TEST_F(EightPeersLabTest, OneSaveAndABurst_ReachAllSeven_WithFewListPullsEach) {
  // One file of a few KiB saved on peer 1: complete everywhere within 10 s, five times the 2 s
  // it should take.
  TFiles expected{{"single.txt", UniqueContent("single", 5000)}};
  TMark mark = Mark(1);
  Write(1, expected);
  ASSERT_TRUE(Arrive(expected, 10s)) << "the save did not reach every peer within 10 s";
  CheckAfterChange(mark, expected);

  // 200 small files written one by one into a new folder on peer 3, as a program makes them:
  // complete everywhere within 25 s, five times the 5 s it should take.
  TFiles burst;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "burst/f" + std::to_string(i) + ".txt";
    burst[name] = UniqueContent(name, 100 + static_cast<size_t>(i) * 7);
  }
  mark = Mark(3);
  Write(3, burst);
  ASSERT_TRUE(Arrive(burst, 25s)) << "the burst did not reach every peer within 25 s";
  expected.insert(burst.begin(), burst.end());
  CheckAfterChange(mark, expected);
}
