// A hostile or broken host on the network, in small independent pieces, for tests that prove a
// peer keeps serving everyone else while one host misbehaves. Each piece owns its sockets and,
// where it needs one, a thread; its destructor stops the thread and closes the sockets. Pieces
// made inside a TInNetns scope have their sockets in that network namespace (a lab peer's), and
// keep them there whichever thread uses them later. Beside them, the bytes such a host sends to
// a desk: clipboard text that no desktop keeps as it came, and screen frames sized to cost their
// receiver dear.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Types.h"
#include "net/Socket.h"

namespace PondarTest::Hostile {

using Pondar::Core::TBytes;
using Pondar::Core::TFileEntries;
using Pondar::Net::TSocket;

// While it lives, sockets that the calling thread makes belong to the network namespace named
// ANamespace (as "ip netns" names it). Throws std::runtime_error when it cannot be entered.
class TInNetns {
 public:
  explicit TInNetns(const std::string& ANamespace);
  ~TInNetns();
  TInNetns(const TInNetns&) = delete;
  TInNetns& operator=(const TInNetns&) = delete;

 private:
  int FHome = -1;
};

// A client that sends APrefix at once and then one more byte every AInterval, for as long as the
// server keeps the connection open: a request that never ends, yet never stalls.
class TTricklingClient {
 public:
  TTricklingClient(const std::string& AIp, uint16_t APort, TBytes APrefix,
                   std::chrono::milliseconds AInterval);
  ~TTricklingClient();
  // True once the server has closed (or reset) the connection; HeldFor then says after how long.
  bool Dropped() const { return FDropped; }
  std::chrono::milliseconds HeldFor() const { return FHeldFor.load(); }

 private:
  TSocket FSock;
  std::atomic<bool> FStop{false};
  std::atomic<bool> FDropped{false};
  std::atomic<std::chrono::milliseconds> FHeldFor{std::chrono::milliseconds(0)};
  std::thread FThread;
};

// A server that accepts every connection and then neither reads nor answers, holding all of
// them open: a port that "works" and never replies.
class TSilentServer {
 public:
  explicit TSilentServer(const std::string& AIp = "0.0.0.0");
  ~TSilentServer();
  uint16_t Port() const { return FPort; }
  size_t Accepted() const { return FAccepted; }

 private:
  TSocket FListen;
  uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<size_t> FAccepted{0};
  std::vector<TSocket> FHeld;  // its thread only
  std::thread FThread;
};

// A port whose connections are never made: its accept queue is full (one connection that nobody
// accepts), so the kernel drops every further SYN and a connect waits out its time-out.
class TBlackHole {
 public:
  explicit TBlackHole(const std::string& AIp);
  uint16_t Port() const { return FPort; }

 private:
  TSocket FListen;
  TSocket FFiller;
  uint16_t FPort = 0;
};

// A peer's server that lists AEntries and answers every file request with the file's listed size
// and AFirstBytes bytes of it, then nothing more, holding the connection open: a download that
// stalls for ever.
class TStalledFileServer {
 public:
  TStalledFileServer(const std::string& AIp, TFileEntries AEntries, size_t AFirstBytes);
  ~TStalledFileServer();
  uint16_t Port() const { return FPort; }
  size_t FileRequests() const { return FFileRequests; }

 private:
  void Serve(TSocket AConn);

  TSocket FListen;
  uint16_t FPort = 0;
  const TFileEntries FEntries;
  const size_t FFirstBytes;
  std::atomic<bool> FStop{false};
  std::atomic<size_t> FFileRequests{0};
  std::vector<TSocket> FHeld;  // its thread only
  std::thread FThread;
};

// Announces names to AIp:AUdpPort as the peers' own broadcasts would, from a socket made where
// the announcer is made.
class TAnnouncer {
 public:
  TAnnouncer(const std::string& AIp, uint16_t AUdpPort);
  // Every name of ANames, serving on ATcpPort, a few hundred datagrams a second so that the
  // receiver's buffer keeps up.
  void Announce(const std::vector<std::string>& ANames, uint16_t ATcpPort) const;

 private:
  TSocket FSock;
  std::string FIp;
  uint16_t FUdpPort;
};

// Descriptors and threads a process holds now; -1 each when it cannot be read.
struct TProcessLoad {
  int Descriptors = -1;
  int Threads = -1;
};
TProcessLoad LoadOf(pid_t APid);

// A clipboard message (type 5) carrying AText byte for byte, whatever it holds.
TBytes ClipboardMessage(const std::string& AText);

// Eight bytes that claim a picture of AWidth x AHeight: a delta frame without a tile. A
// receiver that takes it holds a whole black picture of that size.
TBytes BlankFrame(uint16_t AWidth, uint16_t AHeight);

// A shell command that sends ABytes to AIp:APort from the network namespace it runs in (with
// bash's /dev/tcp), for TNetLab::Run: any program on a host of the lab may send such bytes.
std::string ShellSend(const TBytes& ABytes, const std::string& AIp, uint16_t APort);

}  // namespace PondarTest::Hostile
