#include "sync/Engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "core/Captions.h"
#include "fs/Scanner.h"
#include "fs/Watcher.h"
#include "net/Transfer.h"

namespace Pondar::Sync {

using Core::FormatCaption;
using Core::TFileEntry;
namespace Captions = Core::Captions;

// Two syncs may decide to fetch the same path at once; they would write the same temporary
// file together. The gate lets one fetch of a path run at a time; the second one waits, then
// decides again and normally finds nothing left to do.
class TFetchGate {
 public:
  class THold {
   public:
    THold(TFetchGate& AGate, std::string APath) : FGate(AGate), FPath(std::move(APath)) {
      std::unique_lock lock(FGate.FMutex);
      FGate.FChanged.wait(lock, [&] { return !FGate.FBusy.contains(FPath); });
      FGate.FBusy.insert(FPath);
    }
    ~THold() {
      {
        std::lock_guard lock(FGate.FMutex);
        FGate.FBusy.erase(FPath);
      }
      FGate.FChanged.notify_all();
    }
    THold(const THold&) = delete;
    THold& operator=(const THold&) = delete;

   private:
    TFetchGate& FGate;
    std::string FPath;
  };

 private:
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::set<std::string> FBusy;  // local paths being fetched
};

TSyncEngine::TSyncEngine()
    : Entries(std::make_shared<TFileEntries>()),
      EntriesLock(std::make_shared<Core::TLightLock>()),
      Cancel(std::make_shared<std::atomic<bool>>(false)),
      FetchGate(std::make_shared<TFetchGate>()) {}

namespace {

bool HasDotDot(const RawUtf8& APath) { return APath.find("..") != RawUtf8::npos; }

// Sleeps in short slices so that a cancelled sync does not sit out its pauses.
void PauseUnlessCancelled(const std::shared_ptr<std::atomic<bool>>& ACancel, int AMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ACancel && ACancel->load(std::memory_order_acquire)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void StampModifiedTime(const std::string& APath, double AModifiedUtc) {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // access time untouched
  times[1].tv_sec = static_cast<time_t>(Core::DayCountToUnixSeconds(AModifiedUtc));
  times[1].tv_nsec = 0;
  ::utimensat(AT_FDCWD, APath.c_str(), times, 0);  // a failure only costs a later re-check
}

bool IsRegularFile(const std::string& APath) {
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool TSyncEngine::ShouldFetch(const TFileEntry& ARemote) const {
  std::lock_guard lock(*EntriesLock);
  const TFileEntry* local = Fs::FindEntry(*Entries, ARemote.RelPath);
  if (!local) return true;
  const int64_t d = Core::RoundHalfEven(std::abs(ARemote.ModifiedUtc - local->ModifiedUtc) * 86400.0);
  // Two seconds or more apart: the newer copy wins, and a newer local copy is never overwritten.
  if (d >= 2) return ARemote.ModifiedUtc > local->ModifiedUtc;
  if (ARemote.Size == local->Size) return false;
  if (ARemote.Sha256.empty()) return true;
  return Fs::HashFileSha256(Fs::LocalPath(RootDir, local->RelPath)) != ARemote.Sha256;
}

TSyncStats TSyncEngine::SyncWithPeer(const RawUtf8& APeerIP, uint16_t APeerPort,
                                     const RawUtf8& /*APeerName*/) {
  TSyncStats result;
  const TFileEntries remote = Net::RequestFileList(APeerIP, APeerPort);

  // One adapter for the whole call; its path is set before each file that reports progress.
  RawUtf8 progressPath;
  const Net::TTransferProgressProc progressAdapter = [&](int64_t AReceived, int64_t ATotal) {
    OnProgress(progressPath, AReceived, ATotal);
  };

  for (const TFileEntry& r : remote) {
    if (Cancelled()) break;
    if (HasDotDot(r.RelPath)) continue;
    if (!ShouldFetch(r)) continue;

    const RawUtf8 p = r.RelPath;
    const std::string f = Fs::LocalPath(RootDir, p);
    TFetchGate::THold hold(*FetchGate, f);
    // Another sync may have fetched this path while we waited for the gate.
    if (!ShouldFetch(r)) continue;

    if (Watcher) Watcher->SuppressPath(p, Fs::TFileWatcher::TSuppressKind::Writes);
    // The suppression is released from a timer, so the next file starts at once while our own
    // write's notifications are still dropped for the hold time.
    struct TRelease {
      const TSyncEngine& Engine;
      const RawUtf8& Path;
      ~TRelease() {
        if (Engine.Watcher)
          Engine.Watcher->UnsuppressPathAfter(Path, DownloadHoldMs,
                                              Fs::TFileWatcher::TSuppressKind::Writes);
      }
    } release{*this, p};

    const bool withProgress = OnProgress && r.Size >= ProgressThreshold;
    if (withProgress) progressPath = p;
    const Net::TTransferProgressProc noProgress;
    const Net::TTransferProgressProc& progress = withProgress ? progressAdapter : noProgress;

    bool ok = false;
    static constexpr int PausesMs[] = {200, 300};
    for (int attempt = 0; attempt < 3 && !ok && !Cancelled(); ++attempt) {
      if (attempt > 0) PauseUnlessCancelled(Cancel, PausesMs[attempt - 1]);
      ok = Net::DownloadFile(APeerIP, APeerPort, p, progress, f, Cancel.get());
    }
    if (!ok) {
      // A file the peer no longer has only skips that file; a peer that cannot be reached at
      // all cannot give us the remaining files either, so the sync ends here.
      if (!Cancelled() && !Net::ConnectToPeer(APeerIP, APeerPort)) break;
      continue;
    }

    StampModifiedTime(f, r.ModifiedUtc);
    ++result.Received;
    Log(FormatCaption(Captions::Downloaded, {p, Core::FormatSize(r.Size)}));
    {
      std::lock_guard lock(*EntriesLock);
      if (TFileEntry* e = Fs::FindEntry(*Entries, p)) {
        e->Size = r.Size;
        e->ModifiedUtc = r.ModifiedUtc;
        e->Sha256 = r.Sha256;
      } else {
        Entries->push_back(r);
      }
    }
  }
  return result;
}

void TSyncEngine::HandleRemoteDelete(const RawUtf8& ARelPath) {
  if (HasDotDot(ARelPath)) return;
  const std::string f = Fs::LocalPath(RootDir, ARelPath);
  if (!IsRegularFile(f)) return;
  if (Watcher) Watcher->SuppressPath(ARelPath, Fs::TFileWatcher::TSuppressKind::Deletes);
  ::unlink(f.c_str());  // a file that cannot be deleted still leaves the list
  Log(FormatCaption(Captions::RemoteDeleteApplied, {ARelPath}));
  {
    std::lock_guard lock(*EntriesLock);
    Fs::RemoveEntry(*Entries, ARelPath);
  }
  if (Watcher)
    Watcher->UnsuppressPathAfter(ARelPath, DeleteHoldMs, Fs::TFileWatcher::TSuppressKind::Deletes);
}

void TSyncEngine::NotifyPeersOfChange(const TPeerInfoDynArray& APeers) const {
  for (const auto& peer : APeers) Net::SendChangesNotify(peer.IP, peer.TcpPort);
}

void TSyncEngine::NotifyPeersOfDelete(const RawUtf8& ARelPath,
                                      const TPeerInfoDynArray& APeers) const {
  for (const auto& peer : APeers) Net::SendDeleteNotify(peer.IP, peer.TcpPort, ARelPath);
}

}  // namespace Pondar::Sync
