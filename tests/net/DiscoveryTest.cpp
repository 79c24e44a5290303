// Discovery driven two ways: over loopback with hand-made datagrams sent to a running thread,
// and through the protected handling steps with no socket at all.
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "net/Discovery.h"
#include "net/Interfaces.h"
#include "support/RawSockets.h"
#include "support/Recorder.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Pondar::Core::CurrentUtcTime;
using Pondar::Core::TBytes;
using Pondar::Core::TPeerInfo;
using Pondar::Core::TPeerInfoDynArray;
using Pondar::Net::BroadcastTargets;
using Pondar::Net::BuildDiscoveryPacket;
using Pondar::Net::BuildKeyedDiscoveryPacket;
using Pondar::Net::TKeyBytes;
using Pondar::Net::MakeIpv4Address;
using Pondar::Net::TDiscoveryKind;
using Pondar::Net::TDiscoveryThread;
using Pondar::Net::TIpv4Interface;
using Pondar::Net::TSocket;
using PondarTest::FreePort;
using PondarTest::PortOf;
using PondarTest::TRecorder;

constexpr auto kAnnounce = TDiscoveryKind::dkAnnounce;
constexpr auto kReply = TDiscoveryKind::dkReply;
constexpr auto kGoodbye = TDiscoveryKind::dkGoodbye;

// A clock the test moves by hand. Counts its readings, so a test can tell that the discovery
// thread has read a new value and finished what it read it for.
struct TManualClock {
  std::atomic<uint64_t> Value{1000};
  std::atomic<uint64_t> Reads{0};

  Pondar::Core::TTickSource Source() {
    return [this] {
      Reads.fetch_add(1);
      return Value.load();
    };
  }
};

// Both events, recorded from the discovery thread.
struct TEventLog {
  TRecorder<TPeerInfo> Found, Lost;

  void Bind(TDiscoveryThread& AThread) {
    AThread.OnPeerDiscovered = [this](const TPeerInfo& APeer) { Found.Add(APeer); };
    AThread.OnPeerLost = [this](const TPeerInfo& APeer) { Lost.Add(APeer); };
  }
};

// Exposes the handling steps so that table rules can be checked without a socket.
class TTestableDiscovery : public TDiscoveryThread {
 public:
  using TDiscoveryThread::HandleDatagram;
  using TDiscoveryThread::Prune;
  using TDiscoveryThread::TDiscoveryThread;

  void Feed(const TBytes& ABytes, const char* AIp = "127.0.0.9", uint16_t APort = 40000) {
    sockaddr_in from{};
    MakeIpv4Address(AIp, APort, from);
    HandleDatagram(ABytes.data(), ABytes.size(), from);
  }
};

TBytes Packet(TDiscoveryKind AKind, uint16_t ATcpPort, const std::string& AName,
              double AUtc = 45000.5) {
  return BuildDiscoveryPacket(AKind, ATcpPort, AName, AUtc);
}

// A UDP socket on a loopback address that plays the remote peer.
class TRemote {
 public:
  explicit TRemote(const char* AIp = "127.0.0.1") : FSock(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in addr{};
    MakeIpv4Address(AIp, 0, addr);
    if (::bind(FSock.Fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error(std::string("cannot bind test socket on ") + AIp);
    FPort = PortOf(FSock);
  }
  uint16_t Port() const { return FPort; }

  void SendTo(uint16_t APort, const TBytes& ABytes) const {
    sockaddr_in to{};
    MakeIpv4Address("127.0.0.1", APort, to);
    ASSERT_EQ(::sendto(FSock.Fd(), ABytes.data(), ABytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(ABytes.size()));
  }

  // The next datagram that arrives within ATimeout, with the port it came from.
  std::optional<TBytes> Receive(std::chrono::milliseconds ATimeout, uint16_t* AFromPort = nullptr) {
    pollfd pfd{FSock.Fd(), POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(ATimeout.count())) <= 0) return std::nullopt;
    TBytes buf(65536);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t got =
        ::recvfrom(FSock.Fd(), buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (got < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(got));
    if (AFromPort) *AFromPort = ntohs(from.sin_port);
    return buf;
  }

 private:
  TSocket FSock;
  uint16_t FPort = 0;
};

bool WaitBound(TDiscoveryThread& AThread) {
  return PondarTest::WaitFor([&] { return AThread.BoundPort() != 0 || !AThread.Running(); }) &&
         AThread.BoundPort() != 0;
}

// ---- Over loopback, with the thread running ----

class DiscoveryLoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PondarTest::InIsolatedNetwork()) {
      std::cerr << "\n!!!!! REFUSING TO RUN: discovery broadcasts to 255.255.255.255 and this "
                   "process sees network interfaces other than loopback.\n!!!!! Run it in a "
                   "namespace of its own: unshare --net sh -c 'ip link set lo up; <test>'\n\n";
      GTEST_SKIP() << "not in an isolated network namespace; discovery would broadcast on a "
                      "real network (run under unshare --net)";
    }
  }

  using TBinder = std::function<void(TDiscoveryThread&)>;

  // Starts a discovery thread on a free port; retries if another process took the port first.
  // ABind assigns the events, before the thread starts as owners must.
  std::unique_ptr<TDiscoveryThread> Start(const std::string& AName, uint16_t ATcpPort,
                                          Pondar::Core::TTickSource ATick = {},
                                          const TBinder& ABind = {}) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      const uint16_t port = FreePort(SOCK_DGRAM);
      auto thread = std::make_unique<TDiscoveryThread>(AName, port, ATcpPort, ATick);
      if (ABind) ABind(*thread);
      thread->Start();
      if (WaitBound(*thread)) {
        FPort = port;
        return thread;
      }
    }
    ADD_FAILURE() << "could not start discovery on any free port";
    return nullptr;
  }

  // Datagrams are handled in arrival order, so once an announcement sent after them has been
  // answered, everything sent before has been handled. Adds the marker peer to the table.
  void Flush(TRemote& ARemote, const std::string& AMarker = "marker") {
    ARemote.SendTo(FPort, Packet(kAnnounce, 1, AMarker));
    for (;;) {
      auto got = ARemote.Receive(3s);
      ASSERT_TRUE(got) << "no answer to the marker announcement";
      Pondar::Net::TDiscoveryPacket reply;
      ASSERT_TRUE(Pondar::Net::ParseDiscoveryPacket(got->data(), got->size(), reply));
      if (reply.Kind == kReply) return;
    }
  }

  std::unique_ptr<TDiscoveryThread> Start(const std::string& AName, uint16_t ATcpPort,
                                          Pondar::Core::TTickSource ATick, TEventLog* AEvents) {
    return Start(AName, ATcpPort, std::move(ATick),
                 [AEvents](TDiscoveryThread& AThread) { AEvents->Bind(AThread); });
  }

  uint16_t FPort = 0;
};

TEST_F(DiscoveryLoopbackTest, Announce_NewPeer_AddedOnceAndAnsweredByUnicast) {
  TManualClock clock;
  TEventLog events;
  auto disc = Start("alpha", 4242, clock.Source(), &events);
  ASSERT_TRUE(disc);
  TRemote remote;
  const double utcBefore = CurrentUtcTime();
  remote.SendTo(FPort, Packet(kAnnounce, 5555, "beta", 45123.25));

  uint16_t from = 0;
  auto reply = remote.Receive(3s, &from);
  ASSERT_TRUE(reply) << "no reply to the announcement";
  const double utcAfter = CurrentUtcTime();
  // The reply is sent from the discovery socket itself, byte for byte in the datagram layout.
  EXPECT_EQ(from, FPort);
  ASSERT_EQ(reply->size(), 16u + 5u);
  EXPECT_EQ(std::string(reply->begin(), reply->begin() + 4), "PNDR");
  EXPECT_EQ((*reply)[4], 2) << "kind must be reply";
  double utc = 0;
  std::memcpy(&utc, reply->data() + 5, 8);  // little-endian host, as the wire
  EXPECT_GE(utc, utcBefore);
  EXPECT_LE(utc, utcAfter);
  EXPECT_EQ((*reply)[13], 4242 & 0xFF);
  EXPECT_EQ((*reply)[14], 4242 >> 8);
  EXPECT_EQ((*reply)[15], 5);
  EXPECT_EQ(std::string(reply->begin() + 16, reply->end()), "alpha");

  ASSERT_TRUE(PondarTest::WaitFor([&] { return events.Found.Count() == 1; }));
  const TPeerInfo expected{"beta", "127.0.0.1", 5555, 1000, 45123.25};
  EXPECT_EQ(events.Found.All()[0], expected);
  EXPECT_EQ(disc->GetPeerList(), TPeerInfoDynArray{expected});
  EXPECT_EQ(disc->PeerCount(), 1);
  // One announcement, one answer.
  EXPECT_FALSE(remote.Receive(300ms)) << "more than one reply";
  EXPECT_EQ(events.Found.Count(), 1u);
  EXPECT_TRUE(events.Lost.All().empty());

  // Its goodbye hands over the entry as it was, not the goodbye's fields; a second finds nothing.
  remote.SendTo(FPort, Packet(kGoodbye, 1, "beta", 1.0));
  ASSERT_TRUE(PondarTest::WaitFor([&] { return events.Lost.Count() == 1; }));
  EXPECT_EQ(events.Lost.All()[0], expected);
  EXPECT_EQ(disc->PeerCount(), 0);
  EXPECT_FALSE(remote.Receive(300ms)) << "a goodbye must not be answered";
  remote.SendTo(FPort, Packet(kGoodbye, 1, "beta"));
  Flush(remote);
  EXPECT_EQ(events.Lost.Count(), 1u);
}

TEST_F(DiscoveryLoopbackTest, Announce_KnownPeerFromNewAddress_UpdatedInPlaceWithoutEvent) {
  TManualClock clock;
  TEventLog events;
  auto disc = Start("alpha", 4242, clock.Source(), &events);
  ASSERT_TRUE(disc);
  TRemote first("127.0.0.1");
  first.SendTo(FPort, Packet(kAnnounce, 5555, "beta", 45000.0));
  ASSERT_TRUE(first.Receive(3s));

  // Heard elsewhere once its first address has been silent for longer than the prune time.
  const uint64_t moveTick = 1000 + TDiscoveryThread::PeerTimeoutMs + 1;
  clock.Value = moveTick;
  TRemote moved("127.0.0.2");
  moved.SendTo(FPort, Packet(kAnnounce, 6666, "beta", 45001.5));
  // The answer goes to where the latest announcement came from.
  ASSERT_TRUE(moved.Receive(3s)) << "no reply at the new address";
  const auto at = static_cast<int64_t>(moveTick);
  EXPECT_EQ(disc->GetPeerList(), (TPeerInfoDynArray{{"beta", "127.0.0.2", 6666, at, 45001.5}}));

  // A reply is not answered. The old address, heard again while the new one is fresh, keeps
  // the entry alive but neither takes it back nor changes its port or clock reading.
  clock.Value = moveTick + 1000;
  first.SendTo(FPort, Packet(kReply, 7777, "beta", 45002.0));
  ASSERT_TRUE(PondarTest::WaitFor([&] {
    auto list = disc->GetPeerList();
    return list.size() == 1 && list[0].LastSeenTick == at + 1000;
  }));
  EXPECT_EQ(disc->GetPeerList(),
            (TPeerInfoDynArray{{"beta", "127.0.0.2", 6666, at + 1000, 45001.5}}));
  EXPECT_FALSE(first.Receive(300ms)) << "a reply must not be answered";

  EXPECT_EQ(events.Found.Count(), 1u);
  EXPECT_TRUE(events.Lost.All().empty());
}

TEST_F(DiscoveryLoopbackTest, Prune_ThreadsOwnPrune_KeepsAtExactlyTimeoutDropsOneMsLater) {
  TManualClock clock;
  TEventLog events;
  auto disc = Start("alpha", 4242, clock.Source(), &events);
  ASSERT_TRUE(disc);
  TRemote remote;
  remote.SendTo(FPort, Packet(kAnnounce, 5555, "beta", 45000.0));
  ASSERT_TRUE(remote.Receive(3s));
  ASSERT_TRUE(PondarTest::WaitFor([&] { return disc->PeerCount() == 1; }));

  // Only the prune after an expired wait reads the clock now. Two more readings after a change
  // mean one whole prune has run with the new value; they take up to two 512 ms waits.
  auto pruneWith = [&](uint64_t ATick) {
    clock.Value = ATick;
    const uint64_t seen = clock.Reads.load();
    return PondarTest::WaitFor([&] { return clock.Reads.load() >= seen + 2; }, 10s);
  };
  ASSERT_TRUE(pruneWith(1000 + 15000));
  EXPECT_EQ(disc->PeerCount(), 1) << "silent for exactly 15000 ms must stay";
  EXPECT_TRUE(events.Lost.All().empty());

  ASSERT_TRUE(pruneWith(1000 + 15001));
  EXPECT_EQ(disc->PeerCount(), 0) << "silent for 15001 ms must go";
  ASSERT_EQ(events.Lost.Count(), 1u);
  EXPECT_EQ(events.Lost.All()[0].Name, "beta");
  EXPECT_EQ(events.Lost.All()[0].LastSeenTick, 1000);
}

TEST_F(DiscoveryLoopbackTest, Prune_KeepsItsOwnTime_UnderAStreamOfDatagrams) {
  TManualClock clock;
  TEventLog events;
  auto disc = Start("alpha", 4242, clock.Source(), &events);
  ASSERT_TRUE(disc);
  TRemote remote;
  remote.SendTo(FPort, Packet(kAnnounce, 5555, "beta"));
  ASSERT_TRUE(remote.Receive(3s));

  // Datagrams that are dropped (and so read no clock) keep arriving every 50 ms: the socket
  // never stays quiet for a whole prune interval. The clock says beta has long been silent.
  const TBytes noise = {'n', 'o', 'i', 's', 'e'};
  clock.Value = 1000 + 60000;
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (events.Lost.Count() == 0 && std::chrono::steady_clock::now() < until) {
    remote.SendTo(FPort, noise);
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(events.Lost.Count(), 1u) << "not pruned while datagrams kept coming";
  EXPECT_EQ(disc->PeerCount(), 0);
}

TEST_F(DiscoveryLoopbackTest, OwnName_AsItGoesOnTheWire_IsDropped) {
  // 300 bytes: only the first 255 travel, so our own broadcasts come back with those.
  const std::string longName = std::string(250, 'n') + "-tail-of-the-name-" + std::string(32, 'z');
  ASSERT_GT(longName.size(), 255u);
  TEventLog events;
  auto disc = Start(longName, 4242, {}, &events);
  ASSERT_TRUE(disc);
  TRemote remote;
  remote.SendTo(FPort, Packet(kAnnounce, 5555, longName.substr(0, 255)));
  remote.SendTo(FPort, Packet(kReply, 5555, longName.substr(0, 255)));
  // The name cut differently is someone else.
  const std::string other = longName.substr(0, 254);
  remote.SendTo(FPort, Packet(kAnnounce, 5555, other));
  auto first = remote.Receive(3s);
  ASSERT_TRUE(first);
  Flush(remote);
  const auto list = disc->GetPeerList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Name, other);
  EXPECT_EQ(list[1].Name, "marker");
  // The answer carries our name cut to 255 bytes.
  ASSERT_EQ(first->size(), 16u + 255u);
  EXPECT_EQ(std::string(first->begin() + 16, first->end()), longName.substr(0, 255));
}

// Datagrams in a row to one running thread: whether each is answered, and the table after it.
// Each step ends with a marker announcement whose answer shows that the step was handled (and
// an answer to the step itself would come before it).
TEST_F(DiscoveryLoopbackTest, AnsweredOrNot_TheTableAfterEachDatagram) {
  TEventLog events;
  auto disc = Start("alpha", 4242, {}, &events);
  ASSERT_TRUE(disc);
  TRemote remote;
  struct TStep {
    const char* What;
    TBytes Datagram;
    bool Answered;
    std::string Table;  // names, each followed by a blank; the marker left out
  };
  const auto edited = [](const char* AName, size_t AAt, int AByte) {
    TBytes bytes = Packet(kAnnounce, 1, AName);
    if (AByte < 0) bytes.resize(bytes.size() - 1);  // one byte short
    else bytes[AAt] = static_cast<uint8_t>(AByte);
    return bytes;
  };
  TBytes extra = Packet(kAnnounce, 6000, "extra");
  extra.insert(extra.end(), {'j', 'u', 'n', 'k'});
  const TStep steps[] = {
      {"15 bytes", edited("", 0, -1), false, ""},
      {"wrong magic", edited("magic", 3, 'X'), false, ""},
      {"kind 0", edited("kindzero", 4, 0), false, ""},
      {"kind 4", edited("kindfour", 4, 4), false, ""},
      {"a name past the end", edited("pastend", 0, -1), false, ""},
      {"our own name", Packet(kAnnounce, 5555, "alpha"), false, ""},
      {"our name in other case: another peer", Packet(kAnnounce, 5555, "ALPHA"), true, "ALPHA "},
      {"a reply from a new peer", Packet(kReply, 5555, "beta"), false, "ALPHA beta "},
      {"a goodbye in other case", Packet(kGoodbye, 5555, "Beta"), false, "ALPHA beta "},
      {"a goodbye of an unknown name", Packet(kGoodbye, 5555, "gamma"), false, "ALPHA beta "},
      {"an empty name", Packet(kAnnounce, 5555, ""), true, "ALPHA beta  "},
      {"extra bytes after the name", extra, true, "ALPHA beta  extra "},
  };
  for (const TStep& s : steps) {
    remote.SendTo(FPort, s.Datagram);
    remote.SendTo(FPort, Packet(kAnnounce, 1, "marker"));
    int answers = 0;
    while (const auto got = remote.Receive(3s)) {
      Pondar::Net::TDiscoveryPacket reply;
      ASSERT_TRUE(Pondar::Net::ParseDiscoveryPacket(got->data(), got->size(), reply)) << s.What;
      if (reply.Kind == kReply) ++answers;
      if (answers == (s.Answered ? 2 : 1)) break;
    }
    EXPECT_EQ(answers, s.Answered ? 2 : 1) << s.What;
    EXPECT_FALSE(remote.Receive(300ms)) << s.What << ": answered";
    std::string table;
    for (const TPeerInfo& p : disc->GetPeerList())
      if (p.Name != "marker") table += p.Name + " ";
    EXPECT_EQ(table, s.Table) << s.What;
  }
  EXPECT_TRUE(events.Lost.All().empty());
}

TEST_F(DiscoveryLoopbackTest, SecondInstance_SamePort_StaysSilent) {
  TEventLog events1, events2;
  auto first = Start("alpha", 4242, {}, &events1);
  ASSERT_TRUE(first);
  TDiscoveryThread second("gamma", FPort, 4343);
  events2.Bind(second);
  TRecorder<std::string> problems;
  second.OnProblem = [&](const std::string& AMessage) { problems.Add(AMessage); };
  second.Start();
  ASSERT_TRUE(PondarTest::WaitFor([&] { return !second.Running(); }))
      << "the second instance must give up when the port is taken";
  // Silent on the network, but not to its user.
  EXPECT_EQ(problems.All(), std::vector<std::string>{"UDP port " + std::to_string(FPort) +
                                                     " cannot be opened (Address already in "
                                                     "use): no peers will be found"});
  EXPECT_EQ(second.BoundPort(), 0);
  second.SendGoodbye();  // nothing to send it with; must simply return

  TRemote remote;
  remote.SendTo(FPort, Packet(kAnnounce, 5555, "beta"));
  uint16_t from = 0;
  auto reply = remote.Receive(3s, &from);
  ASSERT_TRUE(reply);
  EXPECT_EQ(std::string(reply->begin() + 16, reply->end()), "alpha");
  EXPECT_FALSE(remote.Receive(300ms)) << "only one instance may answer";
  EXPECT_EQ(first->PeerCount(), 1);
  EXPECT_TRUE(second.GetPeerList().empty());
  EXPECT_EQ(second.PeerCount(), 0);
  EXPECT_TRUE(events2.Found.All().empty());
}

TEST_F(DiscoveryLoopbackTest, TerminateAndWaitFor_EndWithoutWaitingOutTheWait) {
  // Terminate wakes the wait on the socket: a stop takes a few milliseconds, not up to one
  // 512 ms wait (which a window's Apply would feel). Half a wait leaves room for a loaded machine.
  constexpr auto Bound = std::chrono::milliseconds(TDiscoveryThread::PruneEveryMs / 2);
  for (auto delay : {0ms, 130ms, 400ms}) {
    auto disc = Start("alpha", 4242);
    ASSERT_TRUE(disc);
    std::this_thread::sleep_for(delay);
    const auto t0 = std::chrono::steady_clock::now();
    disc->Terminate();
    disc->WaitFor();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_FALSE(disc->Running());
    EXPECT_LT(took, Bound) << "after " << delay.count() << " ms";
    disc->SendGoodbye();  // the socket lives until the destructor; sending is still safe
  }
}

TEST_F(DiscoveryLoopbackTest, SendGoodbye_FromAnotherThread_WhileRunningAndStopping) {
  // Run under ThreadSanitizer this shows that the goodbye never races the socket's set-up or
  // close; in any build it must not crash or hang.
  for (int round = 0; round < 8; ++round) {
    auto disc = std::make_unique<TDiscoveryThread>("alpha", FreePort(SOCK_DGRAM), 4242);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
      while (!stop.load()) disc->SendGoodbye();
    });
    disc->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
    disc->Terminate();
    disc->WaitFor();
    stop = true;
    sender.join();
  }
}

TEST_F(DiscoveryLoopbackTest, EventHandlersMayReadTheTable) {
  struct TCase {
    const char* Event;
    bool Lost;
    size_t PeersSeen;  // the table as the handler reads it: the new peer in, the lost one out
  };
  for (const TCase& c : {TCase{"OnPeerDiscovered", false, 1}, TCase{"OnPeerLost", true, 0}}) {
    std::atomic<bool> done{false};
    std::atomic<bool> readDone{false};
    std::atomic<bool> readInTime{false};
    TPeerInfoDynArray seen;
    std::thread reader;
    // The handler reads through another thread and gives it 2 s, so a table still locked shows
    // up as a late read instead of a hung test.
    auto disc = Start("alpha", 4242, {}, [&](TDiscoveryThread& AThread) {
      (c.Lost ? AThread.OnPeerLost : AThread.OnPeerDiscovered) = [&](const TPeerInfo&) {
        reader = std::thread([&] {
          seen = AThread.GetPeerList();
          readDone = true;
        });
        PondarTest::WaitFor([&] { return readDone.load(); }, 2s);
        readInTime = readDone.load();
        done = true;
      };
    });
    ASSERT_TRUE(disc);
    TRemote remote;
    remote.SendTo(FPort, Packet(kAnnounce, 5555, "beta"));
    ASSERT_TRUE(remote.Receive(3s));
    if (c.Lost) remote.SendTo(FPort, Packet(kGoodbye, 5555, "beta"));
    ASSERT_TRUE(PondarTest::WaitFor([&] { return done.load() && readDone.load(); })) << c.Event;
    reader.join();
    EXPECT_TRUE(readInTime) << "the table was still locked while " << c.Event << " ran";
    ASSERT_EQ(seen.size(), c.PeersSeen) << c.Event;
    if (!seen.empty()) {
      EXPECT_EQ(seen[0].Name, "beta");
    }
  }
}

TEST_F(DiscoveryLoopbackTest, ThrowingHandler_ReportedAndDiscoveryGoesOn) {
  TRecorder<std::string> found, problems;
  auto disc = Start("alpha", 4242, {}, [&](TDiscoveryThread& AThread) {
    AThread.OnPeerDiscovered = [&](const TPeerInfo& APeer) {
      found.Add(APeer.Name);
      // What starting a sync thread throws when the system has none to give.
      if (APeer.Name == "beta") throw std::system_error(EAGAIN, std::generic_category(), "sync");
    };
    AThread.OnProblem = [&](const std::string& AMessage) { problems.Add(AMessage); };
  });
  ASSERT_TRUE(disc);
  TRemote remote;
  remote.SendTo(FPort, Packet(kAnnounce, 5555, "beta"));
  remote.SendTo(FPort, Packet(kAnnounce, 5555, "gamma"));
  ASSERT_TRUE(remote.Receive(3s)) << "gamma was not answered";  // beta's handler threw first
  EXPECT_EQ(found.All(), (std::vector<std::string>{"beta", "gamma"}));
  EXPECT_EQ(problems.All(), std::vector<std::string>{"Discovery, in a peer event handler: sync: "
                                                     "Resource temporarily unavailable"});
  EXPECT_TRUE(disc->Running());
}

// ---- The handling steps alone, without a socket (the thread is never started) ----

TEST(DiscoveryRulesTest, Prune_ScansFromLastToFirst_DropsEverySilentPeer) {
  TManualClock clock;
  TEventLog events;
  TTestableDiscovery disc("self", 7731, 7732, clock.Source());
  events.Bind(disc);
  const std::pair<const char*, uint64_t> peers[] = {
      {"a", 1000}, {"b", 6000}, {"c", 1000}, {"d", 11000}};
  for (const auto& [name, tick] : peers) {
    clock.Value = tick;
    disc.Feed(Packet(kAnnounce, 1, name));
  }
  ASSERT_EQ(disc.PeerCount(), 4);

  // A handler that fails for one lost peer costs the others nothing.
  TRecorder<std::string> problems;
  disc.OnProblem = [&](const std::string& AMessage) { problems.Add(AMessage); };
  disc.OnPeerLost = [&](const TPeerInfo& APeer) {
    events.Lost.Add(APeer);
    if (APeer.Name == "c") throw std::runtime_error("no memory");
  };
  disc.Prune(16001);
  EXPECT_EQ(problems.All(),
            std::vector<std::string>{"Discovery, in a peer event handler: no memory"});
  const auto lost = events.Lost.All();
  ASSERT_EQ(lost.size(), 2u);
  EXPECT_EQ(lost[0].Name, "c");  // from the last entry to the first
  EXPECT_EQ(lost[1].Name, "a");
  auto list = disc.GetPeerList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Name, "b");
  EXPECT_EQ(list[1].Name, "d");

  disc.Prune(21000);  // b silent for exactly 15000 ms
  EXPECT_EQ(disc.PeerCount(), 2);
  disc.Prune(21001);
  list = disc.GetPeerList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Name, "d");
  EXPECT_EQ(events.Lost.Count(), 3u);

  // A lost peer heard again, from wherever, is discovered again.
  clock.Value = 22000;
  disc.Feed(Packet(kReply, 2, "a"), "127.0.0.7");
  ASSERT_EQ(events.Found.Count(), 5u);
  EXPECT_EQ(events.Found.All()[4], (TPeerInfo{"a", "127.0.0.7", 2, 22000, 45000.5}));
}

TEST(DiscoveryRulesTest, Goodbye_RemovesOnlyThatPeer_KeepsOrder) {
  TEventLog events;
  TTestableDiscovery disc("self", 7731, 7732);
  events.Bind(disc);
  for (const char* name : {"a", "b", "c"}) disc.Feed(Packet(kAnnounce, 1, name));
  disc.Feed(Packet(kGoodbye, 1, "b"));
  const auto list = disc.GetPeerList();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Name, "a");
  EXPECT_EQ(list[1].Name, "c");
  ASSERT_EQ(events.Lost.Count(), 1u);
  EXPECT_EQ(events.Lost.All()[0].Name, "b");
}

TEST(DiscoveryRulesTest, EntryBelongsToItsAddress_UntilThatAddressFallsSilent) {
  // Datagrams under the name "a", each with its tick as its clock reading, and the entry after
  // each as "address:port@clock reading" ("" when it is gone). It times out after 15000 ms.
  struct TStep {
    const char* What;
    uint64_t Tick;
    TDiscoveryKind Kind;
    const char* From;
    uint16_t TcpPort;
    std::string Entry;
  };
  const TStep steps[] = {
      {"first heard", 1000, kAnnounce, "10.0.0.2", 7732, "10.0.0.2:7732@1000"},
      {"on its second network", 1100, kAnnounce, "10.1.0.2", 7732, "10.0.0.2:7732@1000"},
      {"on its first again", 1200, kReply, "10.0.0.2", 7732, "10.0.0.2:7732@1200"},
      {"its name from another host", 2000, kAnnounce, "10.9.9.9", 1, "10.0.0.2:7732@1200"},
      {"a goodbye from another host", 2100, kGoodbye, "10.9.9.9", 1, "10.0.0.2:7732@1200"},
      {"restarted on another port", 3000, kAnnounce, "10.0.0.2", 7740, "10.0.0.2:7740@3000"},
      {"its address silent 15000 ms", 18000, kReply, "10.1.0.2", 7741, "10.0.0.2:7740@3000"},
      {"15001 ms: taken over", 18001, kReply, "10.1.0.2", 7741, "10.1.0.2:7741@18001"},
      {"the old one cannot take it back", 18002, kReply, "10.0.0.2", 7740, "10.1.0.2:7741@18001"},
      {"nor say goodbye for it", 18003, kGoodbye, "10.0.0.2", 7740, "10.1.0.2:7741@18001"},
      {"its own goodbye counts", 18004, kGoodbye, "10.1.0.2", 7741, ""},
  };
  TManualClock clock;
  TEventLog events;
  TTestableDiscovery disc("self", 7731, 7732, clock.Source());
  events.Bind(disc);
  uint64_t lastSeen = 0;
  for (const TStep& s : steps) {
    clock.Value = s.Tick;
    disc.Feed(Packet(s.Kind, s.TcpPort, "a", static_cast<double>(s.Tick)), s.From);
    // Every announcement or reply under its name keeps it alive, from wherever it comes.
    if (s.Kind != kGoodbye) lastSeen = s.Tick;
    std::string entry;
    for (const TPeerInfo& p : disc.GetPeerList()) {
      entry +=
          p.IP + ":" + std::to_string(p.TcpPort) + "@" + std::to_string(std::lround(p.UtcTime));
      EXPECT_EQ(p.LastSeenTick, static_cast<int64_t>(lastSeen)) << s.What;
    }
    EXPECT_EQ(entry, s.Entry) << s.What;
  }
  EXPECT_EQ(events.Found.Count(), 1u);
  EXPECT_EQ(events.Lost.Count(), 1u);
}

TEST(DiscoveryRulesTest, FullTable_NewNamesIgnoredAndReportedOnce_UntilSomeGo) {
  TManualClock clock;
  TEventLog events;
  TTestableDiscovery disc("self", 7731, 7732, clock.Source());
  events.Bind(disc);
  TRecorder<std::string> problems;
  disc.OnProblem = [&](const std::string& AMessage) { problems.Add(AMessage); };
  for (int i = 0; i < 258; ++i)
    disc.Feed(Packet(kAnnounce, 1, "p" + std::to_string(i)),
              ("10.1." + std::to_string(i / 200) + "." + std::to_string(1 + i % 200)).c_str());
  clock.Value = 5000;
  disc.Feed(Packet(kReply, 1, "p0"), "10.1.0.1");  // a known peer is still heard
  EXPECT_EQ(disc.PeerCount(), 256);
  EXPECT_EQ(events.Found.Count(), 256u);
  ASSERT_EQ(problems.Count(), 1u);
  EXPECT_EQ(problems.All()[0].rfind("Discovery: 256 peers known, the most it keeps", 0), 0u);
  disc.Prune(1000 + 15001);  // all but p0
  disc.Feed(Packet(kAnnounce, 1, "late"));
  EXPECT_EQ(disc.GetPeerList().at(1).Name, "late");
  EXPECT_EQ(problems.Count(), 1u);
}

TEST(DiscoveryRulesTest, Keyed_OnlyTaggedFreshDatagramsHeard_OthersReportedOnceAMinute) {
  TKeyBytes key{}, otherKey{};
  key.fill(0x11);
  otherKey.fill(0x22);
  constexpr double Now = 45000.5;  // our clock, a day count; datagrams are this many s off
  const auto keyed = [&](TDiscoveryKind AKind, const char* AName, double AOffSeconds,
                         const TKeyBytes& AKey) {
    return BuildKeyedDiscoveryPacket(AKind, 7732, AName, Now + AOffSeconds / 86400.0, AKey);
  };
  struct TStep {
    const char* What;
    uint64_t Tick;
    TBytes Datagram;
    const char* From;
    std::string Table;    // "name@address" of each entry
    std::string Problem;  // the report this step adds, if any
  };
  const std::string noKey = " has no or another network key: ignored";
  const TStep steps[] = {
      {"keyed", 1000, keyed(kAnnounce, "a", 0, key), "10.0.0.2", "a@10.0.0.2 ", ""},
      {"plain: no key", 1000, Packet(kAnnounce, 7732, "b"), "10.0.0.3", "a@10.0.0.2 ",
       "10.0.0.3" + noKey},
      {"again within the minute", 60999, Packet(kReply, 7732, "b"), "10.0.0.3", "a@10.0.0.2 ", ""},
      {"another key", 61000, keyed(kAnnounce, "c", 0, otherKey), "10.0.0.4", "a@10.0.0.2 ",
       "10.0.0.4" + noKey},
      {"a minute later", 61000, Packet(kReply, 7732, "b"), "10.0.0.3", "a@10.0.0.2 ",
       "10.0.0.3" + noKey},
      {"a replay 31 s old", 61000, keyed(kAnnounce, "d", -31, key), "10.0.0.5", "a@10.0.0.2 ",
       "10.0.0.5 has our network key but a clock 31 s from ours: ignored (a replayed datagram, "
       "or a clock to set)"},
      {"a clock 29 s ahead", 61000, keyed(kReply, "d", 29, key), "10.0.0.5",
       "a@10.0.0.2 d@10.0.0.5 ", ""},
      {"a goodbye older than its last datagram", 61000, keyed(kGoodbye, "d", 10, key), "10.0.0.5",
       "a@10.0.0.2 d@10.0.0.5 ", ""},
      {"a goodbye with another key's tag", 61000, keyed(kGoodbye, "a", 1, otherKey), "10.0.0.2",
       "a@10.0.0.2 d@10.0.0.5 ", "10.0.0.2" + noKey},
      {"a plain goodbye", 61000, Packet(kGoodbye, 7732, "a"), "10.0.0.2",
       "a@10.0.0.2 d@10.0.0.5 ", ""},
      {"its own goodbye", 61000, keyed(kGoodbye, "a", 1, key), "10.0.0.2", "d@10.0.0.5 ", ""},
      {"our own echo", 61000, keyed(kAnnounce, "self", 0, key), "10.0.0.9", "d@10.0.0.5 ", ""},
  };
  TManualClock clock;
  TTestableDiscovery disc("self", 7731, 7732, clock.Source());
  disc.DatagramKey = key;
  disc.UtcClock = [] { return Now; };
  TRecorder<std::string> problems;
  disc.OnProblem = [&](const std::string& AMessage) { problems.Add(AMessage); };
  size_t reported = 0;
  for (const TStep& s : steps) {
    clock.Value = s.Tick;
    disc.Feed(s.Datagram, s.From);
    std::string table;
    for (const TPeerInfo& p : disc.GetPeerList()) table += p.Name + "@" + p.IP + " ";
    EXPECT_EQ(table, s.Table) << s.What;
    if (!s.Problem.empty()) ++reported;
    ASSERT_EQ(problems.Count(), reported) << s.What;
    if (!s.Problem.empty()) {
      EXPECT_EQ(problems.All().back(), s.Problem) << s.What;
    }
  }
  // Addresses said within the minute are kept, 256 at most (four so far): a host with many
  // addresses can neither grow the table nor fill the log. A minute on, they are said again.
  for (int i = 0; i < 253; ++i)
    disc.Feed(Packet(kAnnounce, 7732, "x"),
              ("10.2." + std::to_string(i / 200) + "." + std::to_string(1 + i % 200)).c_str());
  EXPECT_EQ(problems.Count(), reported + 252);
  clock.Value = 121000;
  disc.Feed(Packet(kAnnounce, 7732, "x"), "10.3.0.1");
  EXPECT_EQ(problems.Count(), reported + 253);
}

// ---- Where announcements go ----

in_addr Ip(const char* AText) {
  sockaddr_in a{};
  MakeIpv4Address(AText, 0, a);
  return a.sin_addr;
}

std::vector<std::string> Texts(const std::vector<sockaddr_in>& ATargets, uint16_t APort) {
  std::vector<std::string> out;
  for (const sockaddr_in& t : ATargets) {
    EXPECT_EQ(ntohs(t.sin_port), APort);
    out.push_back(Pondar::Net::Ipv4Text(t));
  }
  return out;
}

TEST(BroadcastTargetsTest, EveryBroadcastCapableInterfaceThatIsUp_Once) {
  const unsigned up = IFF_UP | IFF_BROADCAST | IFF_RUNNING;
  const std::vector<TIpv4Interface> list = {
      {"lo", IFF_UP | IFF_LOOPBACK, Ip("127.0.0.1"), Ip("255.0.0.0"), Ip("0.0.0.0")},
      {"eth0", up, Ip("192.168.1.20"), Ip("255.255.255.0"), Ip("192.168.1.255")},
      {"eth1", IFF_BROADCAST, Ip("10.9.0.5"), Ip("255.255.0.0"), Ip("10.9.255.255")},  // down
      {"tun0", IFF_UP | IFF_POINTOPOINT, Ip("10.8.0.6"), Ip("255.255.255.255"), Ip("10.8.0.5")},
      {"wg0", IFF_UP | IFF_RUNNING, Ip("10.7.0.2"), Ip("255.255.255.0"), Ip("0.0.0.0")},
      // Set up without a broadcast address: the subnet's all-ones one stands in.
      {"wlan0", up, Ip("172.16.5.9"), Ip("255.255.240.0"), Ip("0.0.0.0")},
      {"eth0", up, Ip("192.168.1.21"), Ip("255.255.255.0"), Ip("192.168.1.255")},  // same net
      // How getifaddrs shows an address set without a broadcast address.
      {"veth0", up, Ip("10.213.0.2"), Ip("255.255.255.0"), Ip("10.213.0.2")},
      {"p2p", up, Ip("10.6.0.1"), Ip("255.255.255.254"), Ip("0.0.0.0")},  // a /31
      {"odd", up, Ip("10.5.0.1"), Ip("255.0.0.0"), Ip("255.255.255.255")},
  };
  EXPECT_EQ(Texts(BroadcastTargets(list, 7731), 7731),
            (std::vector<std::string>{"192.168.1.255", "172.16.15.255", "10.213.0.255"}));
  EXPECT_TRUE(BroadcastTargets({}, 7731).empty());
}

}  // namespace
