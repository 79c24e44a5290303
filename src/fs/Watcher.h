// Reports local changes below the shared folder, except those the program made itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/Types.h"
#include "core/Worker.h"
#include "fs/RecentDeletes.h"

namespace Pondar::Fs {

using Core::RawUtf8;
using TFileChangeEvent = std::function<void(Core::TFileAction AAction, const RawUtf8& ARelPath)>;

// Watches ARootDir and its whole tree (inotify, one watch per folder, folders created or moved
// in while running are watched at once). Starts in its constructor. Each batch of changes is
// processed 200 ms after it arrived; a rename is a delete of the old path and a create of the
// new one; an overflow loses that batch silently. OnChange runs on the watcher thread.
// Owner's protocol: Terminate, WaitFor, destroy. A folder that cannot be watched gives an
// inert watcher that reports nothing.
//
// Linux specifics: the watches of the existing tree are in place when the constructor returns.
// A folder that appears while running (created, moved in, or a new link to a folder) is watched
// as soon as its event is read, and what it already holds by then is reported as created, so a
// file written into a fresh folder before its watch existed is not missed. Links to folders are
// followed like the scanner follows them, each folder watched once under the first path that
// reaches it. Every change is reported at least 200 ms after it was read; a change that repeats
// the report still waiting for the same path (the several events of one write) is merged into
// that report.
//
// Reported through OnProblem, once per watcher: folders left unwatched because the system's
// limit of inotify watches is reached (the message names the limit), and a watcher that cannot
// start at all. A folder that does not exist is not a problem: it gives an inert watcher.
//
// Deletes are remembered from the moment they are read, before they settle and whether or not
// they are suppressed, so that LastDeleteUtc knows of a delete before the listener hears of it.
class TFileWatcher : public Core::TWorkerThread {
 public:
  explicit TFileWatcher(std::string ARootDir);
  // The same, with the problem report bound before the watches are made, and the clock that
  // times UnsuppressPathAfter and the memory of deletes replaced (for tests; empty: the real one).
  TFileWatcher(std::string ARootDir, Core::TTickSource ATicks,
               Core::TOnWorkerProblem AOnProblem = {});
  ~TFileWatcher() override;

  // Sets the listener; safe while the thread runs. An empty function reports nothing. A call
  // of the previous listener that has already begun may still finish after this returns.
  void SetOnChange(TFileChangeEvent AHandler);
  // Which of our own changes a suppression stands for. A download only ever creates or
  // modifies its path and a delete only deletes it, so the user's opposite change to the same
  // path, made while the hold lasts, is still reported.
  enum class TSuppressKind : uint8_t { Everything, Writes, Deletes };

  // The counted suppression list, compared with SameRelPath.
  void SuppressPath(const RawUtf8& ARelPath, TSuppressKind AKind = TSuppressKind::Everything);
  // Removes the most recently added equal occurrence of that kind; nothing when there is none.
  void UnsuppressPath(const RawUtf8& ARelPath, TSuppressKind AKind = TSuppressKind::Everything);
  // Like UnsuppressPath, but the occurrence goes only ADelayMs from now, so that the change
  // notifications our own write is still causing are dropped without anyone sleeping.
  // Both take the most recently added equal occurrence that is not already due to go, so
  // every unsuppress call retires exactly one suppress call.
  void UnsuppressPathAfter(const RawUtf8& ARelPath, uint32_t ADelayMs,
                           TSuppressKind AKind = TSuppressKind::Everything);
  // True when any occurrence of the path is held, of whatever kind.
  bool IsSuppressed(const RawUtf8& ARelPath);
  // True when an occurrence held for the path covers AAction.
  bool IsSuppressed(const RawUtf8& ARelPath, Core::TFileAction AAction);

  // True for paths ending in ".pondartmp" and for "pondar.exe" in the root, whatever the case.
  static bool IsIgnoredPath(const RawUtf8& ARelPath);

  // The UTC day count of the newest delete seen in the last minute of ARelPath or of a folder
  // above it (our own deletes included); 0.0 when there is none. Any thread.
  double LastDeleteUtc(const RawUtf8& ARelPath) { return FDeletes.LastDelete(ARelPath, FTicks()); }

 protected:
  void Execute() override;

 private:
  struct TSuppression {
    RawUtf8 Path;
    TSuppressKind Kind = TSuppressKind::Everything;
    bool Expiring = false;  // UnsuppressPathAfter has retired it: it counts DelayMs more
    uint64_t RetiredAt = 0;
    uint32_t DelayMs = 0;
  };
  // A change read from the kernel, reported once it has settled.
  struct TPendingChange {
    Core::TFileAction Action;
    RawUtf8 RelPath;
    std::chrono::steady_clock::time_point ArrivedAt;  // when it was read
    uint64_t Seq;
  };

  void OpenWatches();
  void WatchTree(const std::string& ARelDir, bool AReport);
  void ReportWatchLimit(const std::string& ARelDir);
  void ForgetTree(const std::string& ARelPath);
  void ForgetWatch(int AWd);
  void DrainEvents();
  void HandleEvent(int AWd, uint32_t AMask, const char* AName);
  void Record(Core::TFileAction AAction, const RawUtf8& ARelPath);
  void ProcessDue(std::chrono::steady_clock::time_point ANow);
  void Report(Core::TFileAction AAction, const RawUtf8& ARelPath);
  bool IsSuppressedWhere(const RawUtf8& ARelPath,
                         const std::function<bool(TSuppressKind)>& ACovers);
  std::string FullPath(const std::string& ARelPath) const;

  const std::string FRootDir;
  const Core::TTickSource FTicks;

  // Only the constructor (before the thread starts) and the watcher thread touch these.
  int FInotifyFd = -1;
  std::unordered_map<int, std::string> FPathByWd;  // watched folder below the root; "" = root
  std::map<std::string, int> FWdByPath;            // ordered, so a sub-tree is one key range
  std::deque<TPendingChange> FPending;             // in arrival order
  // The newest report waiting per path, keyed by that report's own path in FPending (a deque
  // keeps its elements in place), so a moved-in tree of 100 000 files holds each path once.
  std::unordered_map<std::string_view, std::pair<Core::TFileAction, uint64_t>> FLastPending;
  uint64_t FNextSeq = 0;
  bool FOverflowed = false;
  bool FWatchLimitReported = false;

  TRecentDeletes FDeletes;  // has its own lock

  // FHandlerLock guards FOnChange only; the handler is called on a copy, outside the lock.
  std::mutex FHandlerLock;
  TFileChangeEvent FOnChange;
  // FSuppressLock guards FSuppressed and FSweptAt only, and is held for the operation alone.
  Core::TLightLock FSuppressLock;
  // Suppressions by the RelPathHash of their path, each bucket in order of addition (SameRelPath
  // tells a bucket's paths apart): a download holds one while thousands of others are held.
  // Expired ones go when their path is next looked at, and all of them once a second.
  std::unordered_map<uint64_t, std::vector<TSuppression>> FSuppressed;
  uint64_t FSweptAt = 0;
};

}  // namespace Pondar::Fs
