// A peer of a test's own making, for checking the exact bytes a requester sends and how it
// takes scripted (also broken) replies.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "core/Types.h"
#include "net/Socket.h"

namespace PondarTest {

// Listens on 127.0.0.1 at a port the kernel picks, accepts ONE connection, stops listening
// (later connections are refused) and runs the script on that connection on a thread of its
// own. The connection is closed when the script returns.
class TScriptedPeer {
 public:
  // AConn is the accepted connection. AStop is set once the test is done with the peer (in the
  // destructor), for scripts that hold the connection open until then.
  using TScript =
      std::function<void(const Pondar::Net::TSocket& AConn, const std::atomic<bool>& AStop)>;

  // Listening when it returns; a socket that cannot be made is a test failure.
  explicit TScriptedPeer(TScript AScript);
  // Sets AStop and waits for the thread: within 20 ms when nobody connected, else until the
  // script returns (a script that ignores AStop holds the destructor up to its own time-outs).
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  uint16_t Port() const { return FPort; }
  // True once the script has returned and the connection is closed.
  bool Done() const { return FDone; }

 private:
  Pondar::Net::TSocket FListen;  // the peer's thread only, once it runs
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FDone{false};
  std::thread FThread;
};

// A script that answers nothing: it reads every byte the requester sends until the requester
// closes (5 s at most) and stores them in *AInto. Read *AInto once Done() is true.
TScriptedPeer::TScript Record(std::shared_ptr<Pondar::Core::TBytes> AInto);

}  // namespace PondarTest
