// The base of every long-running worker: one thread, a terminate flag and a wait.
#pragma once

#include <atomic>
#include <thread>

namespace Pondar::Core {

// A worker is created stopped; the owner binds its events, then calls Start. To stop it the
// owner calls Terminate (plus whatever breaks the worker's blocking wait) and WaitFor.
// Derived classes must call Terminate and WaitFor in their own destructor, before their members
// go away; the base destructor only does so as a last resort.
class TWorkerThread {
 public:
  TWorkerThread() = default;
  TWorkerThread(const TWorkerThread&) = delete;
  TWorkerThread& operator=(const TWorkerThread&) = delete;
  virtual ~TWorkerThread();

  // Starts Execute on a new thread. Calling it twice does nothing the second time.
  void Start();
  // Asks Execute to return; does not wait.
  void Terminate() { FTerminated.store(true, std::memory_order_release); }
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  // Blocks until Execute has returned. Safe to call more than once, and before Start.
  void WaitFor();
  // True from Start until Execute has returned.
  bool Running() const { return FRunning.load(std::memory_order_acquire); }

 protected:
  virtual void Execute() = 0;

 private:
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FRunning{false};
  std::thread FThread;
};

}  // namespace Pondar::Core
