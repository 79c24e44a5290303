#include "sync/Engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "core/Captions.h"
#include "core/RelPath.h"
#include "fs/FileList.h"
#include "fs/RecentDeletes.h"
#include "fs/Scanner.h"
#include "fs/Suppressions.h"
#include "net/Transfer.h"

namespace Pondar::Sync {

using Core::FormatCaption;
using Core::TFileEntry;
namespace Captions = Core::Captions;

// Two syncs may decide to fetch the same path at once; they would write the same temporary
// file together. The gate lets one fetch of a path run at a time; the second one waits, then
// decides again and normally finds nothing left to do. A hold never lasts beyond its fetch's
// request budget (a stalled download runs out of it), and a cancelled sync stops waiting, so
// no path stays blocked, across a restart neither.
class TFetchGate {
 private:
  friend class TFetchGateHold;
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::set<std::string> FBusy;  // local paths being fetched
};

// One path held at the gate, from its fetch's decision until the file is in place. Held in
// the form paths compare in, so that two spellings of one path (a peer on a case-sensitive
// disk may list both) are fetched one after the other, the second into the first's file.
class TFetchGateHold {
 public:
  // Waits for the path, unless ACancel is set first: Held then says so.
  TFetchGateHold(TFetchGate& AGate, std::string APath, const std::atomic<bool>* ACancel)
      : FGate(AGate), FPath(std::move(APath)) {
    for (char& c : FPath) c = static_cast<char>(c & ~0x20);
    const auto cancelled = [ACancel] {
      return ACancel && ACancel->load(std::memory_order_acquire);
    };
    std::unique_lock lock(FGate.FMutex);
    // The cancel flag is set without the gate's lock: looked at again now and then.
    while (FGate.FBusy.contains(FPath)) {
      if (cancelled()) return;
      FGate.FChanged.wait_for(lock, std::chrono::milliseconds(100));
    }
    FGate.FBusy.insert(FPath);
    FHeld = true;
  }
  bool Held() const { return FHeld; }
  ~TFetchGateHold() {
    if (!FHeld) return;
    {
      std::lock_guard lock(FGate.FMutex);
      FGate.FBusy.erase(FPath);
    }
    FGate.FChanged.notify_all();
  }
  TFetchGateHold(const TFetchGateHold&) = delete;
  TFetchGateHold& operator=(const TFetchGateHold&) = delete;

 private:
  TFetchGate& FGate;
  std::string FPath;
  bool FHeld = false;
};

TSyncEngine::TSyncEngine()
    : Files(std::make_shared<Fs::TFileList>()),
      Suppressions(std::make_shared<Fs::TSuppressions>()),
      RecentDeletes(std::make_shared<Fs::TRecentDeletes>()),
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

double TSyncEngine::LastDeleteUtc(const RawUtf8& ARelPath) const {
  return RecentDeletes->LastDelete(ARelPath, Core::GetTickCount64());
}

bool TSyncEngine::ShouldFetch(const TFileEntry& ARemote, RawUtf8& ALocalRelPath) const {
  // A copy that is not newer than a delete made here in the last minute is what the delete
  // removed: the peer has not heard of the delete yet.
  const double deletedAt = LastDeleteUtc(ARemote.RelPath);
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

// A peer's list cut into equal parts, one per receiver, each handed out front to back. A
// folder's files are listed together, so receivers that start on parts of their own mostly
// write into different folders, rather than queueing for one folder's lock at every file
// they create and rename. One whose part is done helps with the next part that is not.
class TSyncEngine::TListParts {
 public:
  TListParts(size_t ASize, size_t AParts)
      : FParts(std::make_unique<TPart[]>(AParts)), FCount(AParts) {
    for (size_t k = 0; k < AParts; ++k) {
      FParts[k].Next = ASize * k / AParts;
      FParts[k].End = ASize * (k + 1) / AParts;
    }
  }
  // The next index to fetch, from part AHome first; false once every part is done.
  bool Take(size_t AHome, size_t& AIndex) {
    for (size_t k = 0; k < FCount; ++k) {
      TPart& part = FParts[(AHome + k) % FCount];
      if (part.Next.load(std::memory_order_relaxed) >= part.End) continue;
      if (const size_t i = part.Next.fetch_add(1); i < part.End) {
        AIndex = i;
        return true;
      }
    }
    return false;
  }

 private:
  struct TPart {
    std::atomic<size_t> Next{0};
    size_t End = 0;
  };
  std::unique_ptr<TPart[]> FParts;
  size_t FCount;
};

// What a sync's receiving and finishing threads have done, read once they are all idle, and
// the stop that a gone peer or a local error hitting every file calls for, read at every file.
struct TSyncEngine::TSyncTally {
  std::mutex Lock;  // guards the counts and StoppedBy
  int32_t Received = 0;
  int32_t NotReceived = 0;
  RawUtf8 StoppedBy;
  std::atomic<bool> Stop{false};
  // One download at a time reports its progress: the window shows one file's bar.
  std::atomic<bool> ProgressTaken{false};

  void Count(int32_t TSyncTally::*ACounter) {
    std::lock_guard lock(Lock);
    ++(this->*ACounter);
  }
  void StopFor(const std::system_error& AError) {
    std::lock_guard lock(Lock);
    if (StoppedBy.empty()) StoppedBy = AError.what();
    Stop.store(true);
  }
};

// Runs the finishing of received files (flush, rename, time, list) one after another on a
// thread of its own, so that the next file is already on the wire meanwhile. At most Capacity
// files wait, each holding an open descriptor; Push waits for room beyond that. The thread
// starts with the first file, so a sync with nothing to fetch starts none.
//
// Files that arrive faster than the disk takes them are finished in batches: everything waiting
// starts being written out at once, then the files are flushed by a few threads together (the
// disk merges flushes that wait at the same time into one; one after another, each file would
// cost a flush of the disk's cache of its own), then renamed in order. Each flush waits for our
// own files only: another program's unwritten data on the same disk is not ours to wait for.
// Only while the disk holds next to nothing else is the batch flushed in one pass instead.
class TSyncEngine::TFinishQueue {
 public:
  static constexpr size_t Capacity = 32;
  struct TJob {
    std::shared_ptr<Net::TReceivedFile> File;
    // finishes File, and all that follows from it
    std::function<void()> Finish;
  };

  ~TFinishQueue() {
    {
      std::lock_guard lock(FLock);
      FClosing = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  void Push(TJob AJob) {
    std::unique_lock lock(FLock);
    if (!FThread.joinable()) {
      try {
        FThread = std::thread([this] { Run(); });
      } catch (const std::system_error&) {
        lock.unlock();
        // No thread to be had: finished here, before the next file.
        AJob.Finish();
        return;
      }
    }
    FChanged.wait(lock, [&] { return FJobs.size() < Capacity; });
    FJobs.push_back(std::move(AJob));
    // The finishing thread waits for a first file, or for a batch to have gathered.
    if (FJobs.size() == 1 || FJobs.size() == Capacity / 2) FChanged.notify_all();
  }
  // Returns once every file pushed so far is finished; none is pushed after it.
  void Drain() {
    std::unique_lock lock(FLock);
    FDraining = true;
    FChanged.notify_all();
    FChanged.wait(lock, [&] { return FJobs.empty() && !FBusy; });
  }

 private:
  void Run() {
    std::unique_lock lock(FLock);
    bool flowing = false;  // the last batch had more than one file
    for (;;) {
      FChanged.wait(lock, [&] { return FClosing || !FJobs.empty(); });
      if (FJobs.empty()) return;
      // While files come faster than the disk takes them, the next batch is let gather for a
      // moment: one pass over the file system then serves several times as many files. A
      // lone file (a save on another desk) is never held back.
      if (flowing) {
        FChanged.wait_for(lock, GatherFor,
                          [&] { return FClosing || FDraining || FJobs.size() >= Capacity / 2; });
      }
      std::vector<TJob> batch(std::make_move_iterator(FJobs.begin()),
                              std::make_move_iterator(FJobs.end()));
      FJobs.clear();
      flowing = batch.size() > 1;
      FBusy = true;
      FChanged.notify_all();
      lock.unlock();
      if (batch.size() > 1) FlushTogether(batch);
      // What a job holds (a gate, a descriptor) goes as soon as it has run.
      for (TJob& job : batch) std::exchange(job, TJob{}).Finish();
      lock.lock();
      FBusy = false;
      FChanged.notify_all();
    }
  }

  static void FlushTogether(const std::vector<TJob>& ABatch) {
    std::vector<Net::TReceivedFile*> files;
    files.reserve(ABatch.size());
    for (const TJob& job : ABatch) files.push_back(job.File.get());
    if (Net::TReceivedFile::FlushInOnePass(files, Net::UnwrittenBytes().value_or(UINT64_MAX)))
      return;
    for (const TJob& job : ABatch) job.File->StartWriteOut();
    std::atomic<size_t> next{0};
    const auto flush = [&] {
      for (size_t i; (i = next.fetch_add(1)) < ABatch.size();) ABatch[i].File->Flush();
    };
    {
      std::vector<std::jthread> helpers;  // joined before the batch goes on
      try {
        while (helpers.size() < FlushHelpers && helpers.size() + 1 < ABatch.size())
          helpers.emplace_back(flush);
      } catch (const std::system_error&) {
        // No thread to be had: the ones there are flush every file, only more slowly.
      }
      flush();
    }
  }

  static constexpr std::chrono::milliseconds GatherFor{10};
  // Threads that flush beside the finishing one: measured on a disk with a write cache, 200
  // files took 480 ms one after another and 26 ms with four threads, no less with more.
  static constexpr size_t FlushHelpers = 3;

  std::mutex FLock;  // guards FJobs, FBusy, FDraining and FClosing
  std::condition_variable FChanged;
  std::deque<TJob> FJobs;
  bool FBusy = false;
  bool FDraining = false;
  bool FClosing = false;
  std::thread FThread;
};

std::shared_ptr<void> TSyncEngine::HoldOwnWrites(const RawUtf8& ALocalRelPath) const {
  const RawUtf8& p = ALocalRelPath;
  // Ours are the file and the folders the download makes on its way to it: a new folder would
  // otherwise come back as a local change and send every peer a change notice. They are looked
  // for from the file's own folder up, which nearly always is there already.
  std::vector<RawUtf8> ours(1, p);
  for (size_t slash = p.rfind('/'); slash != RawUtf8::npos && slash > 0;
       slash = p.rfind('/', slash - 1)) {
    struct stat st;
    if (::stat(Fs::LocalPath(RootDir, p.substr(0, slash)).c_str(), &st) == 0) break;
    ours.push_back(p.substr(0, slash));
  }
  for (const auto& path : ours) Suppressions->SuppressPath(path, Fs::TSuppressKind::Writes);
  // The suppressions are released from a timer once the file is in place, so the next file
  // starts at once while our own write's notifications are still dropped for the hold time.
  return std::shared_ptr<void>(nullptr, [list = Suppressions, ours = std::move(ours)](void*) {
    for (const auto& path : ours)
      list->UnsuppressPathAfter(path, DownloadHoldMs, Fs::TSuppressKind::Writes);
  });
}

void TSyncEngine::PlaceFetched(const TFileEntry& ARemote, const RawUtf8& ALocalRelPath,
                               TSyncTally& ATally) const {
  const RawUtf8& p = ALocalRelPath;
  // The user deleted the path, or a folder above it, while the copy was on its way: the
  // delete has already gone out to the peers, and it wins over a copy not newer than it.
  if (const double deletedAt = LastDeleteUtc(p);
      deletedAt > 0.0 && ARemote.ModifiedUtc <= deletedAt) {
    Suppressions->SuppressPath(p, Fs::TSuppressKind::Deletes);
    ::unlink(Fs::LocalPath(RootDir, p).c_str());
    Suppressions->UnsuppressPathAfter(p, DeleteHoldMs, Fs::TSuppressKind::Deletes);
    return;
  }
  Log(FormatCaption(Captions::Downloaded, {p, Core::FormatSize(ARemote.Size)}));
  TFileEntry stored = ARemote;
  stored.RelPath = p;
  Files->Store(stored);
  ATally.Count(&TSyncTally::Received);
}

bool TSyncEngine::Fetch(const RawUtf8& APeerIP, uint16_t APeerPort, const TFileEntry& ARemote,
                        const RawUtf8& ALocalRelPath, std::unique_ptr<TFetchGateHold> AHold,
                        TFinishQueue& AFinish, TSyncTally& ATally) {
  const RawUtf8& p = ALocalRelPath;
  auto release = HoldOwnWrites(p);

  Net::TTransferProgressProc progress;
  bool reporting = false;
  if (OnProgress && ARemote.Size >= ProgressThreshold && !ATally.ProgressTaken.exchange(true)) {
    reporting = true;
    progress = [this, &p](int64_t AReceived, int64_t ATotal) { OnProgress(p, AReceived, ATotal); };
  }
  struct TProgressRelease {
    std::atomic<bool>& Taken;
    bool Mine;
    ~TProgressRelease() {
      if (Mine) Taken.store(false);
    }
  } progressRelease{ATally.ProgressTaken, reporting};

  std::optional<Net::TReceivedFile> received;
  static constexpr int PausesMs[] = {200, 300};
  const std::string f = Fs::LocalPath(RootDir, p);
  bool outOfTime = false;
  for (int attempt = 0; attempt < 3 && !received && !outOfTime && !Cancelled(); ++attempt) {
    if (attempt > 0) PauseUnlessCancelled(Cancel, PausesMs[attempt - 1]);
    // The peer is asked for its own spelling of the path.
    received = Net::ReceiveFile(APeerIP, APeerPort, ARemote.RelPath, progress, f, Cancel.get(),
                                &outOfTime);
  }
  if (!received) {
    // A peer that stalled a download until its budget ran out is not asked for more: each file
    // would cost another budget, and this path is held from other peers meanwhile.
    if (outOfTime) ATally.Stop.store(true);
    return false;
  }

  // std::function wants a copyable job; the received file and the gate are moved in once.
  auto file = std::make_shared<Net::TReceivedFile>(std::move(*received));
  std::shared_ptr<TFetchGateHold> hold(std::move(AHold));
  // Stamped now, the time is written out with the content.
  file->SetModifiedTime(ARemote.ModifiedUtc);
  auto finish = [this, &ATally, file, hold, release, remote = ARemote,
                 p] {
    try {
      if (file->Finish()) {
        PlaceFetched(remote, p, ATally);
      } else {
        ATally.Count(&TSyncTally::NotReceived);
      }
    } catch (const std::system_error& AError) {
      ATally.Count(&TSyncTally::NotReceived);
      if (HitsEveryPath(AError.code())) ATally.StopFor(AError);
    } catch (const std::exception&) {
      ATally.Count(&TSyncTally::NotReceived);  // this file only; the thread goes on
    }
  };
  AFinish.Push({file, std::move(finish)});
  return true;
}

void TSyncEngine::FetchListed(const TFileEntry& AListed, const RawUtf8& APeerIP, uint16_t APeerPort,
                              TFinishQueue& AFinish, TSyncTally& ATally) {
  TFileEntry r;
  RawUtf8 localRelPath;
  if (!AcceptListedEntry(AListed, r) || !ShouldFetch(r, localRelPath)) return;
  if (ATally.Stop.load()) {
    ATally.Count(&TSyncTally::NotReceived);
    return;
  }
  auto hold = std::make_unique<TFetchGateHold>(*FetchGate, Fs::LocalPath(RootDir, localRelPath),
                                               Cancel.get());
  // Another sync may have fetched this path while we waited for the gate.
  if (!hold->Held() || !ShouldFetch(r, localRelPath)) return;
  try {
    if (!Fetch(APeerIP, APeerPort, r, localRelPath, std::move(hold), AFinish, ATally)) {
      ATally.Count(&TSyncTally::NotReceived);
      // A file the peer no longer has only skips that file; a peer that cannot be reached at
      // all cannot give us the remaining files either.
      if (!Cancelled() && !Net::ConnectToPeer(APeerIP, APeerPort)) ATally.Stop.store(true);
    }
  } catch (const std::system_error& AError) {
    // This path cannot be written here; the others may well be.
    ATally.Count(&TSyncTally::NotReceived);
    if (HitsEveryPath(AError.code())) ATally.StopFor(AError);
  }
}

std::string TSyncEngine::RootProblem(const std::string& ADir) {
  if (ADir.empty()) return "no shared folder is set";
  if (ADir.front() != '/') return "the shared folder " + ADir + " is not an absolute path";
  struct stat st {};
  if (::stat(ADir.c_str(), &st) != 0)
    return "the shared folder " + ADir + " cannot be used (" +
           std::error_code(errno, std::generic_category()).message() + ")";
  if (!S_ISDIR(st.st_mode)) return "the shared folder " + ADir + " is not a folder";
  // "/" itself, by whatever name, would offer and take every file of the machine.
  std::error_code ec;
  if (std::filesystem::canonical(ADir, ec) == "/")
    return "the shared folder " + ADir + " is the whole file system";
  return "";
}

TSyncStats TSyncEngine::SyncWithPeer(const RawUtf8& APeerIP, uint16_t APeerPort) {
  TSyncStats result;
  if (!RootIsAbsolute()) {
    result.StoppedBy = RootProblem(RootDir);
    return result;
  }
  const std::optional<TFileEntries> remote = Net::RequestFileList(APeerIP, APeerPort);
  if (!remote) {
    result.Unreachable = true;
    return result;
  }

  TSyncTally tally;
  {
    TFinishQueue finish;  // declared after the tally: it is drained before the tally goes
    // Receivers work side by side: while one waits for its reply, or for a connection,
    // another works, and the serving peer always has the next request waiting. Once Stop is
    // set (the peer is gone, or a local error would fail every file) what is left to fetch is
    // counted, not tried.
    TListParts parts(remote->size(), Receivers);
    const auto receive = [&](size_t APart) {
      for (size_t i; parts.Take(APart, i) && !Cancelled();)
        FetchListed((*remote)[i], APeerIP, APeerPort, finish, tally);
    };
    std::vector<std::jthread> others;  // joined on every way out, before what they use goes
    try {
      while (others.size() + 1 < Receivers) {
        others.emplace_back([&, part = others.size() + 1] {
          try {
            receive(part);
          } catch (const std::exception&) {
            tally.Stop.store(true);  // out of memory, say: the others count what is left
          }
        });
      }
    } catch (const std::system_error&) {
      // No more threads to be had: the receivers there are take every file.
    }
    receive(0);
    others.clear();
    finish.Drain();
  }
  result.Received = tally.Received;
  result.NotReceived = tally.NotReceived;
  result.StoppedBy = tally.StoppedBy;
  return result;
}

void TSyncEngine::HandleRemoteDelete(const RawUtf8& ARelPath) {
  RawUtf8 rel;
  if (!RootIsAbsolute() || !Core::NormalizeRelPath(ARelPath, rel)) return;
  // The list's spelling is the file on this disk that the peer's path names.
  if (const auto e = Files->Find(rel)) rel = e->RelPath;
  const std::string f = Fs::LocalPath(RootDir, rel);
  if (!IsRegularFile(f)) return;
  using Fs::TSuppressKind;
  Suppressions->SuppressPath(rel, TSuppressKind::Deletes);
  const bool deleted = ::unlink(f.c_str()) == 0;
  const bool gone = deleted || errno == ENOENT;
  // A file that is still there keeps its entry, or the next pull would overwrite it whatever
  // its time; one that vanished meanwhile loses it, though we deleted nothing.
  if (deleted) Log(FormatCaption(Captions::RemoteDeleteApplied, {rel}));
  if (gone) Files->Remove(rel);
  Suppressions->UnsuppressPathAfter(rel, DeleteHoldMs, TSuppressKind::Deletes);
}

}  // namespace Pondar::Sync
