// The notices the engine sends its peers of local changes, to real servers on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/ChangeCoordinator.h"
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
  std::thread notify([&] { TChangeCoordinator::NotifyPeersOfChange({stuck, good}); });
  // The stuck peer costs its own 5 s connect time-out; the other hears at once.
  EXPECT_TRUE(WaitFor([&] { return changes == 1; }, std::chrono::milliseconds(2500)));
  notify.join();
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

  TChangeCoordinator::NotifyPeersOfChange({peer, peer});
  TChangeCoordinator::NotifyPeersOfDelete({"docs/x.txt", "docs/y.txt"}, {peer});
  TChangeCoordinator::NotifyPeersOfDelete({"never.txt"}, {});
  ASSERT_TRUE(WaitFor([&] { return changes == 2 && deletes.Count() == 2; }));
  EXPECT_EQ(deletes.All(), (std::vector<std::string>{"docs/x.txt", "docs/y.txt"}));
}
