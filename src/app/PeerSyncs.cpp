#include "app/PeerSyncs.h"

#include <system_error>

#include "core/Captions.h"

namespace Pondard::App {

using Pondar::Core::FormatCaption;
namespace Captions = Pondar::Core::Captions;

bool TPeerSyncQueue::Admit(const RawUtf8& APeer, TJob AJob) {
  std::lock_guard lock(FLock);
  const auto [slot, idle] = FWaiting.try_emplace(APeer);
  if (!idle) slot->second = std::move(AJob);
  return idle;
}

void TPeerSyncQueue::RunQueued(const RawUtf8& APeer, TJob AJob,
                               const Pondar::Core::TOnWorkerProblem& AReport) {
  for (;;) {
    Pondar::Core::RunReportingErrors(AJob, "Sync with " + APeer, AReport);
    std::lock_guard lock(FLock);
    const auto slot = FWaiting.find(APeer);
    if (!slot->second) {
      FWaiting.erase(slot);
      return;
    }
    AJob = std::move(slot->second);
    slot->second = nullptr;
  }
}

void TPeerSyncQueue::Release(const RawUtf8& APeer) {
  std::lock_guard lock(FLock);
  FWaiting.erase(APeer);
}

TPeerSyncs::TPeerSyncs(TSinkRoute ARoute)
    : FRoute(std::move(ARoute)),
      FThreads(std::make_shared<TShortLivedThreads>()),
      FQueue(std::make_shared<TPeerSyncQueue>()) {}

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
  if (!FQueue->Admit(APeer.Name, job)) return;  // waits behind the sync that runs
  try {
    FThreads->Run([queue = FQueue, name = APeer.Name, job,
                   report = FRoute.Problems()] { queue->RunQueued(name, job, report); },
                  "Sync with " + APeer.Name, FRoute.Problems());
  } catch (const std::system_error& AError) {
    FQueue->Release(APeer.Name);
    FRoute.Warn("Sync with " + APeer.Name + " cannot start: " + AError.what());
  }
}

}  // namespace Pondard::App
