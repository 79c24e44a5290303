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
#include <vector>

#include "core/Limits.h"
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
// - Types 1 to 5 go, in the order their type bytes arrived, into a queue served by up to
//   MaxRequestsAtOnce request threads (started as the queue needs them), which hand each to
//   ServeRequest (net/Serve.h). OnDeleteNotify and OnChangesNotify are raised on those threads,
//   so several may run at once; OnClipboardNotify too, but never two at once.
// - Each type 6 connection gets a frame receiver thread of its own, so frames keep arriving
//   while files are served. OnScreenFrame is raised on it; several may run at once. At
//   most MaxFrameReceivers run; further frames are closed at once while the cap is reached.
//   Without an OnScreenFrame handler, frames are closed at once.
//
// Time limits: every request, frames included, has a budget for the whole of it: the request
// time limit (30 000 ms unless set otherwise) from the moment a thread takes it up, pushed back
// by the bytes it moves at the minimum transfer rate (core/Limits.h). A peer that trickles its
// request, or reads its reply a byte at a time, holds one request thread until then at most; no
// single wait lasts longer than the limit either.
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
  // The caps of core/Limits.h that the server keeps; see there.
  static constexpr size_t MaxFrameReceivers = Core::Limits::MaxFrameReceivers;
  static constexpr size_t MaxUntypedConnections = Core::Limits::MaxUntypedConnections;
  static constexpr size_t MaxQueuedRequests = Core::Limits::MaxQueuedRequests;
  static constexpr size_t MaxRequestsAtOnce = Core::Limits::MaxRequestsAtOnce;

  TTcpServerThread(uint16_t APort, std::string ARootDir, std::shared_ptr<Fs::TFileList> AFiles);
  ~TTcpServerThread() override;

  // Binds and listens now, on the calling thread, so that the port answers before anyone is
  // told of it (the owner announces the peer right after Start). Optional: Execute listens
  // itself when this was not called or failed. False when the port cannot be had; Execute then
  // tries again and reports the failure. Call before Start.
  bool Listen();
  // The port actually listened on (useful with port 0), 0 until listening or when it failed.
  // Safe from any thread.
  uint16_t BoundPort() const;
  // Sets the request time limit in milliseconds (default ServerTimeoutMs). Call before Start.
  void SetRequestTimeLimit(int AMs) { FRequestTimeLimitMs = AMs; }
  // Keyed mode: every connection must first complete a TLS handshake with ATls's key (see
  // net/Tls.h); null (the default) serves plain connections. Call before Start.
  //
  // The handshake is part of waiting for the type byte: the server thread drives it without
  // blocking, within the same request time limit and among the same MaxUntypedConnections, so a
  // peer without the key, or one that stops half way, costs what a silent connection costs and
  // is closed without a reply.
  void SetTls(std::shared_ptr<const TTlsContext> ATls) { FTls = std::move(ATls); }
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

  void AcceptPending();
  void ReadTypeByte(TUntyped& AEntry, bool& ADone);
  void Dispatch(TConnection AConn, uint8_t AType);
  void StartFrameReceiver(TConnection AConn);
  void ReapFrameReceivers();
  void StopHelpers();

  // A request thread: types 1 to 5, one after another, beside the others.
  void RequestLoop();
  void ReceiveFrame(TFrameReceiver* ASelf);

  const uint16_t FPort;
  TSocket FServerSock;
  // The folder, the list and (from Start on) the events, as the request thread serves them.
  TServeContext FServe;

  int FRequestTimeLimitMs = ServerTimeoutMs;
  std::shared_ptr<const TTlsContext> FTls;
  std::atomic<uint16_t> FBoundPort{0};

  // Connections whose type byte has not arrived; server thread only.
  std::deque<TUntyped> FUntyped;

  // The request queue, the request threads and the connections they are working on.
  std::mutex FRequestsLock;
  std::condition_variable FRequestsChanged;
  std::deque<TRequest> FRequests;
  bool FStopRequests = false;
  size_t FIdleRequestThreads = 0;
  std::vector<const TConnection*> FInProgress;
  std::vector<std::thread> FRequestThreads;
  int FBindError = 0;  // why the last Listen failed
  std::mutex FClipboardLock;  // held while OnClipboardNotify runs

  // Running and finished (not yet joined) frame receivers.
  mutable std::mutex FFramesLock;
  std::list<TFrameReceiver> FFrames;
  size_t FActiveFrames = 0;
};

}  // namespace Pondar::Net
