// The syncs with peers that run now: each on a short-lived thread of its own, at most one per
// peer with one more waiting behind it, and what each did told in the log.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "app/ShortLivedThreads.h"
#include "app/Sinks.h"
#include "core/Types.h"
#include "sync/Engine.h"

namespace Pondard::App {

// At most one sync per peer at a time, and at most one more waiting behind it: discoveries and
// notices that come while a peer's sync runs fold into the one waiting, which the running
// sync's thread takes up when it ends. Without this every notice of a busy peer started a sync
// of its own, all pulling and comparing the same list at once. Any thread; FLock is held for
// the bookkeeping alone, never while a job runs.
class TPeerSyncQueue {
 public:
  using TJob = std::function<void()>;
  // True when no sync of APeer runs: the caller starts AJob on a thread of its own through
  // RunQueued. False when one runs: AJob replaces the one waiting, if any.
  bool Admit(const RawUtf8& APeer, TJob AJob);
  // Runs AJob, then every job that waits for APeer when the one before ends. An exception
  // escaping a job is reported through AReport and ends only that job.
  void RunQueued(const RawUtf8& APeer, TJob AJob, const Pondar::Core::TOnWorkerProblem& AReport);
  // For a thread that could not be started after Admit: APeer runs nothing after all.
  void Release(const RawUtf8& APeer);

 private:
  std::mutex FLock;                  // guards FWaiting
  std::map<RawUtf8, TJob> FWaiting;  // a key per peer whose sync runs; empty job: none waits
};

// Owned by the engine; the sync threads share the queue and the counter with it, so that they
// may outlive a restart, or the engine itself.
class TPeerSyncs {
 public:
  explicit TPeerSyncs(TSinkRoute ARoute);

  // Syncs with APeer through AEngine, a copy of the engine's own that the sync keeps: on a new
  // thread, or behind the sync of APeer that runs. Any thread; returns at once. A thread that
  // cannot be had is warned of, and nothing waits for that peer.
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
