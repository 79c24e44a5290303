// The syncs with peers that run now: at most MaxSyncsAtOnce at once, each on a short-lived
// thread, at most one per peer with one more waiting behind it, and what each did told in the
// log.
#pragma once

#include <chrono>
#include <deque>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "app/ShortLivedThreads.h"
#include "app/Sinks.h"
#include "core/Types.h"
#include "sync/Engine.h"

namespace Pondard::App {

// At most one sync per peer at a time, and at most one more waiting behind it: discoveries and
// notices that come while a peer's sync runs fold into the one waiting. Over all peers, at most
// AMaxThreads run at once, and at most one per address: a host that announces many names (a
// flood pointing at a port that never answers) holds one thread, and the peers at every other
// address keep their turns. Waiting syncs run in the order they came, on the threads that are
// free. Any thread; FLock is held for the bookkeeping alone, never while a job runs.
class TPeerSyncQueue {
 public:
  using TJob = std::function<void()>;
  explicit TPeerSyncQueue(size_t AMaxThreads) : FMaxThreads(AMaxThreads) {}
  // Queues AJob as APeer's next sync (APeer at AIP), replacing one that waits. True when the
  // caller is to start a thread that runs RunQueued: fewer than the cap run, and there is work
  // for one more.
  bool Admit(const RawUtf8& APeer, const RawUtf8& AIP, TJob AJob);
  // Runs the waiting syncs one after another, each peer's in turn, until none waits that can
  // run. An exception escaping a job is reported through AReport and ends only that job.
  void RunQueued(const Pondar::Core::TOnWorkerProblem& AReport);
  // For a thread that could not be started after Admit.
  void Release();

 private:
  struct TPeerState {
    RawUtf8 IP;
    TJob Waiting;  // empty: none waits
    bool Running = false;
  };
  // The first waiting peer whose address has no sync running; FReady.end() when none. Under FLock.
  std::deque<RawUtf8>::iterator NextRunnable();
  const size_t FMaxThreads;
  std::mutex FLock;                      // guards everything below
  std::map<RawUtf8, TPeerState> FPeers;  // peers with a sync running or waiting
  std::deque<RawUtf8> FReady;            // peers with a sync waiting and none running, in order
  std::set<RawUtf8> FBusyIPs;            // addresses with a sync running
  size_t FThreads = 0;                   // threads running RunQueued, or about to
};

// Owned by the engine; the sync threads share the queue and the counter with it, so that they
// may outlive a restart, or the engine itself.
class TPeerSyncs {
 public:
  explicit TPeerSyncs(TSinkRoute ARoute);

  // Syncs with APeer through AEngine, a copy of the engine's own that the sync keeps: on a new
  // thread, or on one of those running once it is free. Any thread; returns at once. A thread
  // that cannot be had is warned of; the sync then waits for one of those running.
  void Start(const Pondar::Core::TPeerInfo& APeer, Pondar::Sync::TSyncEngine AEngine);
  // Threads running a sync now (each also runs the syncs that wait behind its own).
  size_t Running() const { return FThreads->Count(); }
  // Blocks until none runs or ATimeout has passed; true when none runs. Set the engine's Cancel
  // first, or a running sync goes on to its end.
  bool WaitIdle(std::chrono::milliseconds ATimeout) { return FThreads->WaitIdle(ATimeout); }

 private:
  const TSinkRoute FRoute;
  const std::shared_ptr<TShortLivedThreads> FThreads;
  const std::shared_ptr<TPeerSyncQueue> FQueue;
};

}  // namespace Pondard::App
