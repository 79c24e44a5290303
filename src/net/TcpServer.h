// The answering side of the TCP protocol: accepts connections, waits for their type bytes and
// hands each request to net/Serve, on the request thread or a frame receiver of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/Types.h"
#include "core/Worker.h"
#include "net/Connection.h"
#include "net/Protocol.h"
#include "net/Serve.h"
#include "net/Socket.h"

namespace Pondar::Net {

// Owner's protocol: create, assign the events, Start; to stop, Terminate then WaitFor. The
// events are assigned before Start and not changed while the server runs. AFiles is only
// read; without it the server shares an empty list.
//
// Threads:
// - The server thread (Execute) listens and accepts. It never reads from a connection with a
//   blocking call: it keeps each new connection in a set that it polls, together with the
//   listening socket and the worker's wake-up descriptor, until the connection's type byte
//   arrives. A connection that sends no type byte within the request time limit, or closes
//   first, is dropped. So a silent peer never holds up accepting or anyone else's request.
// - Types 1 to 5 go, in the order their type bytes arrived, into a queue served by ONE request
//   thread, which hands each to ServeRequest (net/Serve.h). They are handled strictly one after another, and OnDeleteNotify, OnChangesNotify
//   and OnClipboardNotify are raised on that thread, never at the same time.
// - Each type 6 connection gets a frame receiver thread of its own, so frames keep arriving
//   while a large file is served. OnScreenFrame is raised on it; several may run at once. At
//   most MaxFrameReceivers run; further frames are closed at once while the cap is reached.
//   Without an OnScreenFrame handler, frames are closed at once.
//
// Time limits: every receive and send on an accepted connection fails when it makes no
// progress within the request time limit (30 000 ms unless set otherwise), so a silent peer
// holds the request thread for that long at most.
//
// Problems reported through OnProblem: a port that cannot be listened on (the thread then ends
// and the peer answers no requests), and an event handler that throws (it costs only its request
// or frame). The listening socket has SO_REUSEADDR, so a restarted peer binds at once while its
// previous run's connections wait in TIME_WAIT; a second socket listening on the port is still
// refused.
//
// Stopping: Terminate wakes the server thread at once. Before Execute returns (so before WaitFor
// does) it interrupts the connections of the request in progress and of every frame receiver,
// drops queued requests, and waits for the request thread and the frame receivers to end.
// Handlers already running finish first; a frame completed after Terminate is dropped, and no
// handler runs once WaitFor has returned. The destructor does Terminate and WaitFor itself.
class TTcpServerThread : public Core::TWorkerThread {
 public:
  static constexpr size_t MaxFrameReceivers = 8;
  // Connections waiting for their type byte, and type 1 to 5 requests waiting for the request
  // thread. Beyond these the oldest waiting connection, or the new request, is closed, so a
  // flood of connections cannot use up the process's descriptors.
  static constexpr size_t MaxUntypedConnections = 64;
  static constexpr size_t MaxQueuedRequests = 64;

  TTcpServerThread(uint16_t APort, std::string ARootDir, std::shared_ptr<Fs::TFileList> AFiles);
  ~TTcpServerThread() override;

  // The port actually listened on (useful with port 0), 0 until listening or when it failed.
  // Safe from any thread.
  uint16_t BoundPort() const;
  // Sets the request time limit in milliseconds (default ServerTimeoutMs). Call before Start.
  void SetRequestTimeLimit(int AMs) { FRequestTimeLimitMs = AMs; }
  // Frame receivers currently running. Any thread; for diagnostics and tests.
  size_t FrameReceiverCount() const;

  TOnDeleteNotify OnDeleteNotify;
  TOnChangesNotify OnChangesNotify;
  TOnClipboardNotify OnClipboardNotify;
  TOnScreenFrameNotify OnScreenFrame;

 protected:
  void Execute() override;

 private:
  struct TUntyped {
    TConnection Conn;
    uint64_t DeadlineTick = 0;
  };
  struct TRequest {
    TConnection Conn;
    uint8_t Type = 0;
  };
  struct TFrameReceiver {
    // Used by the receiver's thread; closed, and interrupted by a stop, under FFramesLock.
    TConnection Conn;
    bool Done = false;
    std::thread Thread;
  };

  bool Listen();
  void AcceptPending();
  void ReadTypeByte(TUntyped& AEntry, bool& ADone);
  void Dispatch(TConnection AConn, uint8_t AType);
  void StartFrameReceiver(TConnection AConn);
  void ReapFrameReceivers();
  void StopHelpers();

  // The request thread: types 1 to 5, one after another.
  void RequestLoop();
  void ReceiveFrame(TFrameReceiver* ASelf);

  const uint16_t FPort;
  TSocket FServerSock;
  // The folder, the list and (from Start on) the events, as the request thread serves them.
  TServeContext FServe;

  int FRequestTimeLimitMs = ServerTimeoutMs;
  std::atomic<uint16_t> FBoundPort{0};

  // Connections whose type byte has not arrived; server thread only.
  std::deque<TUntyped> FUntyped;

  // The request queue, the request thread's state and the socket it is working on.
  std::mutex FRequestsLock;
  std::condition_variable FRequestsChanged;
  std::deque<TRequest> FRequests;
  bool FStopRequests = false;
  const TConnection* FCurrentRequest = nullptr;
  std::thread FRequestThread;

  // Running and finished (not yet joined) frame receivers.
  mutable std::mutex FFramesLock;
  std::list<TFrameReceiver> FFrames;
  size_t FActiveFrames = 0;
};

}  // namespace Pondar::Net
