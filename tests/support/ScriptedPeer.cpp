#include "support/ScriptedPeer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include "support/RawSockets.h"

namespace PondarTest {

TScriptedPeer::TScriptedPeer(TScript AScript) : FListen(ListenTcp()) {
  EXPECT_TRUE(FListen.Valid()) << "the scripted peer cannot listen";
  FPort = PortOf(FListen);
  FThread = std::thread([this, script = std::move(AScript)] {
    pollfd pfd{FListen.Fd(), POLLIN, 0};
    // Short polls, so that a destructor with nobody connected is not kept waiting.
    while (!FStop && ::poll(&pfd, 1, 20) == 0) {
    }
    if (FStop) return;
    TSocket conn(::accept4(FListen.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
    FListen.Close();
    if (conn) script(conn, FStop);
    conn.Close();
    FDone = true;
  });
}

TScriptedPeer::~TScriptedPeer() {
  FStop = true;
  FThread.join();
}

TScriptedPeer::TScript Record(std::shared_ptr<Pondar::Core::TBytes> AInto) {
  return [AInto](const TSocket& AConn, const std::atomic<bool>&) {
    *AInto = ReadUntilClosed(AConn).Bytes;
  };
}

}  // namespace PondarTest
