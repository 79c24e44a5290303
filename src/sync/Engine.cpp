#include "sync/Engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>

#include "core/Captions.h"
#include "core/RelPath.h"
#include "fs/FileList.h"
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
    : Files(std::make_shared<Fs::TFileList>()),
      Cancel(std::make_shared<std::atomic<bool>>(false)),
      FetchGate(std::make_shared<TFetchGate>()) {}

namespace {

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

// A listed entry we may act on, with its path in our form: a path the one rule for peers'
// paths accepts, no name the scanner leaves out (a peer that follows the protocol never lists
// one, and writing one would give a file that no scan lists), a real size and time.
bool AcceptListedEntry(const TFileEntry& AListed, TFileEntry& AOut) {
  RawUtf8 path;
  if (AListed.Size < 0 || !Core::IsValidDayCount(AListed.ModifiedUtc) ||
      !Core::NormalizeRelPath(AListed.RelPath, path))
    return false;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    if (Fs::IsExcludedName(std::string_view(path).substr(start, end - start))) return false;
    start = end + 1;
  }
  AOut = AListed;
  AOut.RelPath = std::move(path);
  return true;
}

// Local errors that no other file would escape: going on would only fail again, file by file.
bool HitsEveryPath(const std::error_code& AError) {
  switch (AError.value()) {
    case ENOSPC:
    case EDQUOT:
    case EROFS:
    case EIO:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool TSyncEngine::ShouldFetch(const TFileEntry& ARemote, RawUtf8& ALocalRelPath) const {
  // A copy that is not newer than a delete made here in the last minute is what the delete
  // removed: the peer has not heard of the delete yet.
  const double deletedAt = Watcher ? Watcher->LastDeleteUtc(ARemote.RelPath) : 0.0;
  if (deletedAt > 0.0 && ARemote.ModifiedUtc <= deletedAt) return false;

  const std::optional<TFileEntry> local = Files->Find(ARemote.RelPath);
  if (!local) {
    ALocalRelPath = ARemote.RelPath;
    return true;
  }
  // Paths compare without regard to case, so the file here may be spelled otherwise: writing
  // the peer's spelling would put a second file beside the one the list describes.
  ALocalRelPath = local->RelPath;
  const int64_t d =
      Core::RoundHalfEven(std::abs(ARemote.ModifiedUtc - local->ModifiedUtc) * 86400.0);
  // Two seconds or more apart: the newer copy wins, and a newer local copy is never overwritten.
  if (d >= 2) return ARemote.ModifiedUtc > local->ModifiedUtc;
  if (ARemote.Size == local->Size) return false;
  if (ARemote.Sha256.empty()) return true;
  return Fs::HashFileSha256(Fs::LocalPath(RootDir, local->RelPath)) != ARemote.Sha256;
}

TSyncEngine::TFetchOutcome TSyncEngine::Fetch(const RawUtf8& APeerIP, uint16_t APeerPort,
                                              const TFileEntry& ARemote,
                                              const RawUtf8& ALocalRelPath) {
  using TSuppressKind = Fs::TFileWatcher::TSuppressKind;
  const RawUtf8& p = ALocalRelPath;
  const std::string f = Fs::LocalPath(RootDir, p);
  // Ours are the file and the folders the download makes on its way to it: a new folder would
  // otherwise come back as a local change and send every peer a change notice.
  std::vector<RawUtf8> ours{p};
  for (size_t slash = p.find('/'); slash != RawUtf8::npos; slash = p.find('/', slash + 1)) {
    struct stat st;
    if (::stat(Fs::LocalPath(RootDir, p.substr(0, slash)).c_str(), &st) != 0)
      ours.push_back(p.substr(0, slash));
  }
  if (Watcher)
    for (const auto& path : ours) Watcher->SuppressPath(path, TSuppressKind::Writes);
  // The suppressions are released from a timer, so the next file starts at once while our own
  // write's notifications are still dropped for the hold time.
  struct TRelease {
    const TSyncEngine& Engine;
    const std::vector<RawUtf8>& Paths;
    ~TRelease() {
      if (!Engine.Watcher) return;
      for (const auto& path : Paths)
        Engine.Watcher->UnsuppressPathAfter(path, DownloadHoldMs, TSuppressKind::Writes);
    }
  } release{*this, ours};

  Net::TTransferProgressProc progress;
  if (OnProgress && ARemote.Size >= ProgressThreshold) {
    progress = [this, &p](int64_t AReceived, int64_t ATotal) { OnProgress(p, AReceived, ATotal); };
  }

  bool ok = false;
  static constexpr int PausesMs[] = {200, 300};
  for (int attempt = 0; attempt < 3 && !ok && !Cancelled(); ++attempt) {
    if (attempt > 0) PauseUnlessCancelled(Cancel, PausesMs[attempt - 1]);
    // The peer is asked for its own spelling of the path.
    ok = Net::DownloadFile(APeerIP, APeerPort, ARemote.RelPath, progress, f, Cancel.get());
  }
  if (!ok) return TFetchOutcome::Failed;

  // The user deleted the path, or a folder above it, while the copy was on its way: the delete
  // has already gone out to the peers, and it wins over a copy that is not newer than it.
  if (Watcher) {
    const double deletedAt = Watcher->LastDeleteUtc(p);
    if (deletedAt > 0.0 && ARemote.ModifiedUtc <= deletedAt) {
      Watcher->SuppressPath(p, TSuppressKind::Deletes);
      ::unlink(f.c_str());
      Watcher->UnsuppressPathAfter(p, DeleteHoldMs, TSuppressKind::Deletes);
      return TFetchOutcome::DeletedMeanwhile;
    }
  }

  StampModifiedTime(f, ARemote.ModifiedUtc);
  Log(FormatCaption(Captions::Downloaded, {p, Core::FormatSize(ARemote.Size)}));
  TFileEntry stored = ARemote;
  stored.RelPath = p;
  Files->Store(stored);
  return TFetchOutcome::Received;
}

TSyncStats TSyncEngine::SyncWithPeer(const RawUtf8& APeerIP, uint16_t APeerPort,
                                     const RawUtf8& /*APeerName*/) {
  TSyncStats result;
  const std::optional<TFileEntries> remote = Net::RequestFileList(APeerIP, APeerPort);
  if (!remote) {
    result.Unreachable = true;
    return result;
  }

  // False once the peer is gone or a local error would fail every file: what is left to fetch
  // is then counted, not tried.
  bool fetching = true;
  for (const TFileEntry& listed : *remote) {
    if (Cancelled()) break;
    TFileEntry r;
    RawUtf8 localRelPath;
    if (!AcceptListedEntry(listed, r) || !ShouldFetch(r, localRelPath)) continue;
    if (!fetching) {
      ++result.NotReceived;
      continue;
    }
    TFetchGate::THold hold(*FetchGate, Fs::LocalPath(RootDir, localRelPath));
    // Another sync may have fetched this path while we waited for the gate.
    if (!ShouldFetch(r, localRelPath)) continue;
    try {
      switch (Fetch(APeerIP, APeerPort, r, localRelPath)) {
        case TFetchOutcome::Received:
          ++result.Received;
          break;
        case TFetchOutcome::Failed:
          ++result.NotReceived;
          // A file the peer no longer has only skips that file; a peer that cannot be reached
          // at all cannot give us the remaining files either.
          if (!Cancelled() && !Net::ConnectToPeer(APeerIP, APeerPort)) fetching = false;
          break;
        case TFetchOutcome::DeletedMeanwhile:
          break;
      }
    } catch (const std::system_error& AError) {
      // This path cannot be written here; the others may well be.
      ++result.NotReceived;
      if (HitsEveryPath(AError.code())) {
        fetching = false;
        result.StoppedBy = AError.what();
      }
    }
  }
  return result;
}

void TSyncEngine::HandleRemoteDelete(const RawUtf8& ARelPath) {
  RawUtf8 rel;
  if (!Core::NormalizeRelPath(ARelPath, rel)) return;
  // The list's spelling is the file on this disk that the peer's path names.
  if (const auto e = Files->Find(rel)) rel = e->RelPath;
  const std::string f = Fs::LocalPath(RootDir, rel);
  if (!IsRegularFile(f)) return;
  using TSuppressKind = Fs::TFileWatcher::TSuppressKind;
  if (Watcher) Watcher->SuppressPath(rel, TSuppressKind::Deletes);
  const bool deleted = ::unlink(f.c_str()) == 0;
  const bool gone = deleted || errno == ENOENT;
  // A file that is still there keeps its entry, or the next pull would overwrite it whatever
  // its time; one that vanished meanwhile loses it, though we deleted nothing.
  if (deleted) Log(FormatCaption(Captions::RemoteDeleteApplied, {rel}));
  if (gone) Files->Remove(rel);
  if (Watcher) Watcher->UnsuppressPathAfter(rel, DeleteHoldMs, TSuppressKind::Deletes);
}

void TSyncEngine::NotifyPeersOfChange(const TPeerInfoDynArray& APeers) const {
  Net::ForEachPeerAtOnce(APeers, [](const Core::TPeerInfo& APeer) {
    Net::SendChangesNotify(APeer.IP, APeer.TcpPort);
  });
}

void TSyncEngine::NotifyPeersOfDelete(const std::vector<RawUtf8>& ARelPaths,
                                      const TPeerInfoDynArray& APeers) const {
  Net::ForEachPeerAtOnce(APeers, [&ARelPaths](const Core::TPeerInfo& APeer) {
    for (const auto& path : ARelPaths) Net::SendDeleteNotify(APeer.IP, APeer.TcpPort, path);
  });
}

}  // namespace Pondar::Sync
