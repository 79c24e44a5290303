// The notices the engine sends its peers of local changes, to real servers on loopback, and
// when the coordinator lists and tells what the folder watcher reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "app/ChangeCoordinator.h"
#include "app/DeliveryQueue.h"
#include "core/Limits.h"
#include "net/Outbox.h"
#include "support/RawSockets.h"
#include "support/Recorder.h"
#include "support/ServedFolder.h"
#include "support/TestSupport.h"

using Pondar::Core::RawUtf8;
using Pondar::Core::TPeerInfo;
using Pondard::App::TChangeCoordinator;
using PondarTest::WaitFor;
using TAction = Pondar::Core::TFileAction;

namespace {

// A coordinator over a sandbox folder, its log lines collected without their time stamps, its
// notices going to APeers.
struct TCoordinatorRig {
  explicit TCoordinatorRig(std::vector<TPeerInfo> APeers = {},
                           decltype(Pondard::App::TChangeLinks::Walk) AWalk = {}) {
    Sinks->Log = [this](const RawUtf8& ALine) { Lines.push_back(ALine.substr(11)); };
    Sinks->HasLog = true;
    Outbox->Start();
    Changes = std::make_unique<TChangeCoordinator>(
        Files, Route,
        Pondard::App::TChangeLinks{.Peers = [APeers] { return APeers; },
                                   .SyncWith = [](const TPeerInfo&) {},
                                   .SyncsRunning = [] { return false; },
                                   .Outbox = Outbox,
                                   .Walk = std::move(AWalk)});
    Changes->Start(Folder.Str(), true);
  }
  // Delivers the lines logged on the coordinator's thread, as the window's thread would.
  std::vector<std::string> Messages() {
    Queue->RunPending();
    return Lines;
  }

  PondarTest::TSandbox Folder;
  std::shared_ptr<Pondard::App::TLoopDeliveryQueue> Queue =
      std::make_shared<Pondard::App::TLoopDeliveryQueue>();
  std::shared_ptr<Pondard::App::TAppSinks> Sinks = std::make_shared<Pondard::App::TAppSinks>();
  Pondard::App::TSinkRoute Route{Queue, Sinks};
  std::shared_ptr<Pondar::Fs::TFileList> Files = std::make_shared<Pondar::Fs::TFileList>();
  std::shared_ptr<Pondar::Net::TPeerOutbox> Outbox = std::make_shared<Pondar::Net::TPeerOutbox>();
  std::vector<std::string> Lines;
  std::unique_ptr<TChangeCoordinator> Changes;
};

}  // namespace

// A large folder takes a while to list: the window's thread does not wait for it, and what is
// reported meanwhile is taken up after it, its lines in order.
TEST(ChangeCoordinatorTest, ScanThen_ReturnsWhileTheWalkIsHeldUp_LinesKeepTheirOrder) {
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> walking{false};
  TCoordinatorRig rig({}, [&](const std::string& AFolder, const Pondar::Fs::TEntrySink& ASink,
                              std::vector<std::string>* ALeftovers) {
    if (ALeftovers) {  // the scan at start; later rescans go through
      walking = true;
      released.wait_for(std::chrono::seconds(10));
    }
    Pondar::Fs::ScanFolder(AFolder, ASink, ALeftovers);
  });
  rig.Folder.Write("old.txt", "o");
  rig.Changes->ScanThen([route = rig.Route] { route.Log("Ready"); });
  ASSERT_TRUE(WaitFor([&] { return walking.load(); }));
  rig.Folder.Write("new.txt", "n");
  rig.Changes->OnLocalChange(TAction::faCreated, "new.txt");
  EXPECT_EQ(rig.Messages(), std::vector<std::string>{"\u2026 Scanning..."});
  release.set_value();
  ASSERT_TRUE(WaitFor([&] { return rig.Messages().size() == 4u; }));
  EXPECT_EQ(rig.Messages(), (std::vector<std::string>{"\u2026 Scanning...", "\u25AA 2 files",
                                                      "Ready", "\u25B3 new.txt"}));
}

// A copy of many files is told once it has been read whole, so that a peer fetches all of it in
// one sync rather than its first file alone and the rest a notice window later; still one
// notice per window.
TEST(ChangeCoordinatorTest, OnLocalChange_BurstToldOnceAtItsLastFile_AnUnlistedDeleteStillTold) {
  PondarTest::TServedFolder remote;
  PondarTest::TRecorder<size_t> listedAtNotice;
  TCoordinatorRig* rigAt = nullptr;
  remote.Create().OnChangesNotify = [&](const RawUtf8&) {
    listedAtNotice.Add(rigAt->Files->Size());
  };
  PondarTest::TRecorder<std::string> deleted;
  remote.Server->OnDeleteNotify = [&](const RawUtf8& APath) { deleted.Add(APath); };
  TCoordinatorRig rig({{"peer", "127.0.0.1", remote.Start(), 0, 0}});
  rigAt = &rig;
  rig.Changes->ScanThen({});
  ASSERT_TRUE(WaitFor([&] { return rig.Messages().size() == 2u; }));  // scanned
  // A new empty folder changes nothing a peer sees, and must not spend the window that the
  // files copied into it next need.
  std::filesystem::create_directory(rig.Folder.Path() / "empty");
  rig.Changes->OnLocalChange(TAction::faCreated, "empty");
  constexpr int Files = 50;
  for (int i = 0; i < Files; ++i) rig.Folder.Write("f" + std::to_string(i), "x");
  for (int i = 0; i < Files; ++i) {
    rig.Changes->OnLocalChange(TAction::faCreated, "f" + std::to_string(i), i + 1 < Files);
    // Time for a take-up at the first file, which must not come.
    if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  ASSERT_TRUE(WaitFor([&] { return listedAtNotice.Count() == 1; }));
  EXPECT_EQ(listedAtNotice.All()[0], size_t{Files});
  // The window's end finds nothing left to tell.
  std::this_thread::sleep_for(
      std::chrono::milliseconds(TChangeCoordinator::LocalChangeWindowMs + 500));
  EXPECT_EQ(listedAtNotice.Count(), 1u);  // told file by file, it would be two or more
  // Taken up once, at its last file: not at its first and again at the window's end.
  EXPECT_EQ(rig.Messages(),
            (std::vector<std::string>{"\u2026 Scanning...", "\u25AA 0 files", "\u25B3 f49"}));
  // A file made and deleted before any rescan listed it: its delete is still told.
  rig.Changes->OnLocalChange(TAction::faDeleted, "never-listed");
  ASSERT_TRUE(WaitFor([&] { return deleted.Count() == 1; }));
  EXPECT_EQ(deleted.All(), std::vector<std::string>{"never-listed"});
}

TEST(ChangeCoordinatorTest, NotifyPeers_APeerThatDoesNotAnswerHoldsUpNoOther) {
  PondarTest::TServedFolder remote;
  const auto silent = PondarTest::ListenTcp(PondarTest::Loopback, 0);
  const auto filler = PondarTest::Dial(PondarTest::PortOf(silent));  // its queue is now full
  std::atomic<int> changes{0};
  remote.Create().OnChangesNotify = [&](const RawUtf8&) { ++changes; };
  const TPeerInfo stuck{"stuck", "127.0.0.1", PondarTest::PortOf(silent), 0, 0};
  const TPeerInfo good{"good", "127.0.0.1", remote.Start(), 0, 0};
  Pondar::Net::TPeerOutbox outbox;
  outbox.Start();
  // Twenty deletes for the stuck peer first: they cost it one connect time-out, nobody else.
  std::vector<RawUtf8> paths(20, "gone.txt");
  const auto start = std::chrono::steady_clock::now();
  TChangeCoordinator::NotifyPeersOfDelete(outbox, paths, {stuck});
  TChangeCoordinator::NotifyPeersOfChange(outbox, {stuck, good});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_TRUE(WaitFor([&] { return changes == 1; }, std::chrono::milliseconds(2500)));
  // The stuck peer's round fails at its connect time-out, and its queue is empty after it.
  EXPECT_TRUE(outbox.WaitIdle(std::chrono::seconds(30)));
}

TEST(ChangeCoordinatorTest, NotifyPeers_SendsOneNoticeToEachPeer) {
  PondarTest::TServedFolder remote;
  PondarTest::TRecorder<std::string> deletes;
  std::atomic<int> changes{0};
  remote.Create().OnDeleteNotify = [&](const RawUtf8& APath) { deletes.Add(APath); };
  remote.Server->OnChangesNotify = [&](const RawUtf8& AIP) {
    EXPECT_EQ(AIP, "127.0.0.1");
    ++changes;
  };
  TPeerInfo peer{"p", "127.0.0.1", remote.Start(), 0, 0};

  Pondar::Net::TPeerOutbox outbox;
  outbox.Start();
  TChangeCoordinator::NotifyPeersOfChange(outbox, {peer, peer});
  TChangeCoordinator::NotifyPeersOfDelete(outbox, {"docs/x.txt", "docs/y.txt"}, {peer});
  TChangeCoordinator::NotifyPeersOfDelete(outbox, {"never.txt"}, {});
  ASSERT_TRUE(WaitFor([&] { return changes == 2 && deletes.Count() == 2; }));
  // Sent in order, but the server raises notices on several request threads at once.
  auto got = deletes.All();
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{"docs/x.txt", "docs/y.txt"}));
}

TEST(ChangeCoordinatorTest, NotifyPeers_WhatWaitsForOnePeerIsBounded_ARoundThatDoesNotFitFails) {
  constexpr size_t Most = Pondar::Core::Limits::MaxQueuedPerPeer;
  int done = -1;
  Pondar::Net::TPeerOutbox outbox;  // not started: what is queued stays queued
  const Pondar::Core::TPeerInfoDynArray peer = {{"p", "127.0.0.1", 9, 0, 0}};
  struct TStep {
    const char* What;
    size_t Messages;
    bool Frame;
    int Done;  // what the round's callback said at once; -1: nothing yet, it waits
    size_t Pending;
  };
  const TStep steps[] = {
      {"a frame", 1, true, -1, 1},
      {"a second frame while the first waits", 1, true, 0, 1},
      {"notices up to the most that may wait", Most - 1, false, -1, Most},
      {"one more", 1, false, 0, Most},
      {"an empty round", 0, false, 0, Most},
  };
  for (const TStep& s : steps) {
    done = -1;
    const auto onDone = [&](bool AAllSent) { done = AAllSent ? 1 : 0; };
    if (s.Frame)
      outbox.PostFrame(peer, Pondar::Net::ScreenFrameMessage("p", {1}), onDone);
    else
      outbox.Post(peer, std::vector(s.Messages, Pondar::Net::ChangesNotifyMessage()), onDone);
    EXPECT_EQ(done, s.Done) << s.What;
    EXPECT_EQ(outbox.Pending(), s.Pending) << s.What;
  }
}
