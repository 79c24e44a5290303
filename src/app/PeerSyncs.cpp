#include "app/PeerSyncs.h"

#include <algorithm>
#include <system_error>

#include "core/Captions.h"
#include "core/Limits.h"

namespace Pondard::App {

using Pondar::Core::FormatCaption;
namespace Captions = Pondar::Core::Captions;

std::deque<RawUtf8>::iterator TPeerSyncQueue::NextRunnable() {
  return std::find_if(FReady.begin(), FReady.end(),
                      [&](const RawUtf8& AName) { return !FBusyIPs.contains(FPeers[AName].IP); });
}

bool TPeerSyncQueue::Admit(const RawUtf8& APeer, const RawUtf8& AIP, TJob AJob) {
  std::lock_guard lock(FLock);
  TPeerState& peer = FPeers[APeer];
  const bool queued = static_cast<bool>(peer.Waiting);
  peer.Waiting = std::move(AJob);
  if (!queued && !peer.Running) {
    peer.IP = AIP;
    FReady.push_back(APeer);
  }
  // A thread more while there is work for it; a running one takes the rest in turn.
  if (FThreads >= FMaxThreads || NextRunnable() == FReady.end()) return false;
  ++FThreads;
  return true;
}

void TPeerSyncQueue::RunQueued(const Pondar::Core::TOnWorkerProblem& AReport) {
  std::unique_lock lock(FLock);
  for (auto next = NextRunnable(); next != FReady.end(); next = NextRunnable()) {
    const RawUtf8 name = std::move(*next);
    FReady.erase(next);
    TPeerState& peer = FPeers[name];
    const RawUtf8 ip = peer.IP;
    TJob job = std::move(peer.Waiting);
    peer.Waiting = nullptr;
    peer.Running = true;
    FBusyIPs.insert(ip);
    lock.unlock();
    Pondar::Core::RunReportingErrors(job, "Sync with " + name, AReport);
    job = nullptr;  // what the job holds goes before the next one starts
    lock.lock();
    FBusyIPs.erase(ip);
    TPeerState& after = FPeers[name];
    after.Running = false;
    // A sync that came meanwhile takes its turn behind the peers already waiting.
    if (after.Waiting) {
      FReady.push_back(name);
    } else {
      FPeers.erase(name);
    }
  }
  --FThreads;
}

void TPeerSyncQueue::Release() {
  std::lock_guard lock(FLock);
  --FThreads;
}

TPeerSyncs::TPeerSyncs(TSinkRoute ARoute)
    : FRoute(std::move(ARoute)),
      FThreads(std::make_shared<TShortLivedThreads>()),
      FQueue(std::make_shared<TPeerSyncQueue>(Pondar::Core::Limits::MaxSyncsAtOnce)) {}

void TPeerSyncs::Start(const Pondar::Core::TPeerInfo& APeer, Pondar::Sync::TSyncEngine AEngine) {
  // The job holds copies of all it uses, so it may outlive a restart or the engine.
  auto job = [engine = std::move(AEngine), peer = APeer]() mutable {
    engine.OnLog(FormatCaption(Captions::SyncBegins, {peer.Name}));
    const auto stats = engine.SyncWithPeer(peer.IP, peer.TcpPort);
    if (stats.Unreachable) {
      engine.OnLog(FormatCaption(Captions::PeerUnreachable, {peer.Name}));
      return;
    }
    // A sync only pulls: the line's count of files sent stays 0.
    if (stats.Received > 0) {
      engine.OnLog(FormatCaption(Captions::SyncDone, {int64_t{stats.Received}, int64_t{0}}));
    } else {
      engine.OnLog(RawUtf8(Captions::UpToDate));
    }
    if (stats.NotReceived > 0) {
      engine.OnLog(
          FormatCaption(Captions::FilesNotReceived, {peer.Name, int64_t{stats.NotReceived}}));
    }
    if (!stats.StoppedBy.empty())
      engine.OnLog(FormatCaption(Captions::SyncStopped, {peer.Name, stats.StoppedBy}));
  };
  if (!FQueue->Admit(APeer.Name, APeer.IP, std::move(job))) return;  // a running thread takes it up
  try {
    FThreads->Run([queue = FQueue, report = FRoute.Problems()] { queue->RunQueued(report); },
                  "Syncs", FRoute.Problems());
  } catch (const std::system_error& AError) {
    FQueue->Release();
    FRoute.Warn("Sync with " + APeer.Name + " cannot start: " + AError.what());
  }
}

}  // namespace Pondard::App
