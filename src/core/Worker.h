// The base of every long-running worker: one thread, a terminate flag and a wait; and how a
// worker tells the user about a problem instead of failing silently or taking the process down.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "core/Types.h"

namespace Pondar::Core {

// Something the user should be told about, as one line of plain text: a port that cannot be
// opened, a limit that leaves folders unwatched, an error that ended a worker or one of its
// event handlers. Raised on the thread that met the problem; must be safe to call from any.
using TOnWorkerProblem = std::function<void(const RawUtf8& AMessage)>;

// Hands AMessage to AReport, or writes it to standard error when AReport is unset. Never throws:
// a failing report is dropped.
void ReportProblem(const TOnWorkerProblem& AReport, const RawUtf8& AMessage) noexcept;

// Runs AAction. An exception escaping it is reported as "<AContext>: <its message>" and goes no
// further, so that one failing step ends only itself. False when one escaped.
bool RunReportingErrors(const std::function<void()>& AAction, const RawUtf8& AContext,
                        const TOnWorkerProblem& AReport) noexcept;

// A worker is created stopped; the owner binds its events, then calls Start. To stop it the
// owner calls Terminate and WaitFor. A worker whose Execute blocks in a wait of its own (a poll
// on a socket, say) adds WakeFd to that wait: Terminate makes it readable, so the wait ends at
// once. Pause is cut short the same way.
// Derived classes must call Terminate and WaitFor in their own destructor, before their members
// go away; the base destructor only does so as a last resort.
// An exception escaping Execute is reported through OnProblem as "<name> stopped: <message>" and
// ends the worker, never the process.
class TWorkerThread {
 public:
  // AName says what the worker is, in the words of a report: "Discovery", "TCP server".
  explicit TWorkerThread(RawUtf8 AName);
  TWorkerThread(const TWorkerThread&) = delete;
  TWorkerThread& operator=(const TWorkerThread&) = delete;
  virtual ~TWorkerThread();

  // Starts Execute on a new thread. Calling it twice does nothing the second time.
  void Start();
  // Asks Execute to return and wakes it: a Pause or a wait on WakeFd ends at once. Any thread;
  // does not wait.
  void Terminate();
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  // Blocks until Execute has returned. Safe to call more than once, and before Start.
  void WaitFor();
  // True from Start until Execute has returned.
  bool Running() const { return FRunning.load(std::memory_order_acquire); }
  const RawUtf8& Name() const { return FName; }

  // Set before Start and not changed while the worker runs. Unset: reports go to standard error.
  TOnWorkerProblem OnProblem;

 protected:
  virtual void Execute() = 0;
  void ReportProblem(const RawUtf8& AMessage) const noexcept {
    Core::ReportProblem(OnProblem, AMessage);
  }
  // Sleeps ADuration, or less when told to terminate meanwhile; false when told to terminate.
  bool Pause(std::chrono::milliseconds ADuration);
  // An eventfd that becomes readable, and stays so, once Terminate is called: poll it for
  // POLLIN beside the worker's own descriptors, never read it. -1 when the system refused one;
  // a wait must then be bounded, so that the terminate flag is looked at now and then.
  int WakeFd() const { return FWakeFd; }

 private:
  const RawUtf8 FName;
  const int FWakeFd;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FRunning{false};
  std::thread FThread;
};

}  // namespace Pondar::Core
