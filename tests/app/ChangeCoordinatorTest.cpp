// The notices the engine sends its peers of local changes, to real servers on loopback, and
// when the coordinator lists and tells what the folder watcher reports.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "app/ChangeCoordinator.h"
#include "app/DeliveryQueue.h"
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
TEST(ChangeCoordinatorTest, OnLocalChange_Burst_ToldOnceWhenItsLastFileIsReported) {
  PondarTest::TServedFolder remote;
  PondarTest::TRecorder<size_t> listedAtNotice;
  TCoordinatorRig* rigAt = nullptr;
  remote.Create().OnChangesNotify = [&](const RawUtf8&) {
    listedAtNotice.Add(rigAt->Files->Size());
  };
  TCoordinatorRig rig({{"peer", "127.0.0.1", remote.Start(), 0, 0}});
  rigAt = &rig;
  rig.Changes->ScanThen({});
  ASSERT_TRUE(WaitFor([&] { return rig.Messages().size() == 2u; }));  // scanned
  constexpr int Files = 50;
  for (int i = 0; i < Files; ++i) rig.Folder.Write("f" + std::to_string(i), "x");
  for (int i = 0; i < Files; ++i)
    rig.Changes->OnLocalChange(TAction::faCreated, "f" + std::to_string(i), i + 1 < Files);
  ASSERT_TRUE(WaitFor([&] { return listedAtNotice.Count() == 1; }));
  EXPECT_EQ(listedAtNotice.All()[0], size_t{Files});
  // The window's end finds nothing left to tell.
  std::this_thread::sleep_for(
      std::chrono::milliseconds(TChangeCoordinator::LocalChangeWindowMs + 500));
  EXPECT_EQ(listedAtNotice.Count(), 1u);  // told file by file, it would be two or more
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
  EXPECT_EQ(deletes.All(), (std::vector<std::string>{"docs/x.txt", "docs/y.txt"}));
}
