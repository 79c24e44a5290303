// The connection over real loopback sockets, against hand-made peers: how it is set up, and how
// its time limits and its deadline end waits.
#include "net/Connection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/Types.h"
#include "support/Bytes.h"
#include "support/RawSockets.h"
#include "support/ScriptedPeer.h"

namespace {

using namespace std::chrono_literals;
using Pondar::Core::TBytes;
using Pondar::Net::TConnection;
using Pondar::Net::TSocket;
using PondarTest::B;
using PondarTest::FreePort;
using PondarTest::Loopback;
using PondarTest::ReadUntilClosed;
using PondarTest::SendRaw;
using PondarTest::TScriptedPeer;
using Clock = std::chrono::steady_clock;

int IntOption(int AFd, int ALevel, int AName) {
  int value = -1;
  socklen_t len = sizeof value;
  ::getsockopt(AFd, ALevel, AName, &value, &len);
  return value;
}

TEST(ConnectionTest, Connect_SetsTimeoutsKeepAliveAndNoDelay) {
  TScriptedPeer peer(
      [](const TSocket& AConn, const std::atomic<bool>&) { ReadUntilClosed(AConn); });
  TConnection conn = TConnection::Connect(Loopback, peer.Port());
  ASSERT_TRUE(conn);
  const int fd = conn.PollFd();
  EXPECT_EQ(conn.PeerIP(), Loopback);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 30);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 5);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 6);
  for (int name : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, name, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 5);
    EXPECT_EQ(tv.tv_usec, 0);
  }
}

TEST(ConnectionTest, Connect_FailsForClosedPortAndForNonDottedHost) {
  const auto start = Clock::now();
  EXPECT_FALSE(TConnection::Connect(Loopback, FreePort()));
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_FALSE(TConnection::Connect("localhost", 7732));
  EXPECT_FALSE(TConnection::Connect("", 7732));
}

TEST(ConnectionTest, Read_AReceiveTimeOutIsNotAFailureOnTheRequestingSide) {
  TScriptedPeer peer([](const TSocket& AConn, const std::atomic<bool>&) {
    // A slow peer: the first half at once, the rest after several receive time-outs.
    SendRaw(AConn, B({1, 2}));
    std::this_thread::sleep_for(300ms);
    SendRaw(AConn, B({3, 4}));
    ReadUntilClosed(AConn);
  });
  TConnection conn = TConnection::Connect(Loopback, peer.Port());
  ASSERT_TRUE(conn);
  ASSERT_TRUE(conn.SetStallLimit(50));
  uint8_t buf[4] = {};
  EXPECT_TRUE(conn.Read(buf, 4));
  EXPECT_EQ(TBytes(buf, buf + 4), B({1, 2, 3, 4}));
}

TEST(ConnectionTest, Read_FailsWhenTheConnectionClosesFirst) {
  TScriptedPeer peer([](const TSocket& AConn, const std::atomic<bool>&) {
    SendRaw(AConn, B({1, 2, 3}));
  });
  TConnection conn = TConnection::Connect(Loopback, peer.Port());
  ASSERT_TRUE(conn);
  uint8_t buf[4];
  EXPECT_FALSE(conn.Read(buf, 4));
}

TEST(ConnectionTest, Write_NoProgressWithinTheTimeOutFails) {
  TScriptedPeer peer([](const TSocket&, const std::atomic<bool>& AStop) {
    while (!AStop) std::this_thread::sleep_for(10ms);  // never reads
  });
  TConnection conn = TConnection::Connect(Loopback, peer.Port());
  ASSERT_TRUE(conn);
  ASSERT_TRUE(conn.SetStallLimit(100));
  const TBytes lots(64u << 20, 0x5A);
  const auto start = Clock::now();
  EXPECT_FALSE(conn.Write(lots.data(), lots.size()));
  EXPECT_LT(Clock::now() - start, 10s);
}

TEST(ConnectionTest, Deadline_EndsARequestThatAPeerTricklesOut) {
  // A byte every 50 ms is progress enough for every stall limit; only the deadline ends it.
  TScriptedPeer peer([](const TSocket& AConn, const std::atomic<bool>& AStop) {
    while (!AStop && SendRaw(AConn, B({7}))) std::this_thread::sleep_for(50ms);
  });
  TConnection conn = TConnection::Connect(Loopback, peer.Port());
  ASSERT_TRUE(conn);
  const auto start = Clock::now();
  conn.SetDeadline(Pondar::Core::GetTickCount64() + 300);
  uint8_t buf[1000];
  EXPECT_FALSE(conn.Read(buf, sizeof buf));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 250ms);  // the tick counter may be a little ahead of the clock read here
  EXPECT_LT(took, 3s);
  EXPECT_FALSE(conn.Read(buf, 1)) << "past the deadline nothing more is read";
}

}  // namespace

TEST(ConnectionTest, RequestBudget_RateEarnsTimeButAStallSpendsNoneOfIt) {
  struct TCase {
    const char* Name;
    size_t Block;  // bytes the peer sends every 50 ms, up to Total
    size_t Total;
    size_t Read;  // bytes the connection is asked for, under a budget of 300 ms
    bool Whole;
  };
  const TCase cases[] = {
      // 160 KiB/s, above the minimum rate: four times the base budget, and still in time.
      {"steady, above the rate", 8 << 10, 200 << 10, 200 << 10, true},
      // 2 MiB at once earns 32 s at the minimum rate; the stall after it ends the read anyway.
      {"a burst, then a stall", 2 << 20, 2 << 20, 3 << 20, false},
  };
  for (const auto& c : cases) {
    TScriptedPeer peer([&c](const TSocket& AConn, const std::atomic<bool>& AStop) {
      for (size_t sent = 0; !AStop && sent < c.Total; sent += c.Block) {
        if (!SendRaw(AConn, TBytes(c.Block, 1))) return;
        std::this_thread::sleep_for(50ms);
      }
      while (!AStop) std::this_thread::sleep_for(10ms);
    });
    TConnection conn = TConnection::Connect(Loopback, peer.Port());
    ASSERT_TRUE(conn) << c.Name;
    conn.SetRequestBudget(300);
    const auto start = Clock::now();
    TBytes buf(c.Read);
    EXPECT_EQ(conn.Read(buf.data(), buf.size()), c.Whole) << c.Name;
    EXPECT_LT(Clock::now() - start, 5s) << c.Name;
  }
}
