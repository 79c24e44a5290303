// The notices the engine sends its peers of local changes, to real servers on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/ChangeCoordinator.h"
#include "net/Outbox.h"
#include "support/RawSockets.h"
#include "support/Recorder.h"
#include "support/ServedFolder.h"
#include "support/TestSupport.h"

using Pondar::Core::RawUtf8;
using Pondar::Core::TPeerInfo;
using Pondard::App::TChangeCoordinator;
using PondarTest::WaitFor;

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
