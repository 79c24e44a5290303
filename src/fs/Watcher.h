// Reports local changes below the shared folder, except those the program made itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/Types.h"
#include "core/Worker.h"
#include "fs/RecentDeletes.h"
#include "fs/Suppressions.h"

namespace Pondar::Fs {

using Core::RawUtf8;
// AMoreComing: other changes were read before this one was reported and are still waiting to
// settle, so this one is part of a burst (a copy of many files) that goes on; false for the last
// change of a burst and for a change on its own (a save). The changes still waiting may all be
// suppressed or merged away, so the last one a listener hears of may still say true.
using TFileChangeEvent =
    std::function<void(Core::TFileAction AAction, const RawUtf8& ARelPath, bool AMoreComing)>;

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
// The watcher owns neither list it shares with the sync engine. Before it reports a change it
// asks the suppressions whether the program is making that change itself. Every delete it reads
// goes into the memory of recent deletes at once, before it settles and whether or not it is
// suppressed, so that a sync knows of a delete before the listener hears of it.
class TFileWatcher : public Core::TWorkerThread {
 public:
  // Nothing suppressed, no delete remembered.
  explicit TFileWatcher(std::string ARootDir);
  // The same, with the lists shared with the sync engine (either may be null: none), and the
  // problem report bound before the watches are made.
  TFileWatcher(std::string ARootDir, std::shared_ptr<TSuppressions> ASuppressions,
               std::shared_ptr<TRecentDeletes> ARecentDeletes,
               Core::TOnWorkerProblem AOnProblem = {});
  ~TFileWatcher() override;

  // Sets the listener; safe while the thread runs. An empty function reports nothing. A call
  // of the previous listener that has already begun may still finish after this returns.
  void SetOnChange(TFileChangeEvent AHandler);

  // True for paths ending in ".pondartmp" and for "pondar.exe" in the root, whatever the case.
  static bool IsIgnoredPath(const RawUtf8& ARelPath);

 protected:
  void Execute() override;

 private:
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
  void Report(Core::TFileAction AAction, const RawUtf8& ARelPath, bool AMoreComing);
  std::string FullPath(const std::string& ARelPath) const;

  const std::string FRootDir;
  const std::shared_ptr<TSuppressions> FSuppressions;    // may be null; has its own lock
  const std::shared_ptr<TRecentDeletes> FRecentDeletes;  // may be null; has its own lock

  // Only the constructor (before the thread starts) and the watcher thread touch these.
  int FInotifyFd = -1;
  std::unordered_map<int, std::string> FPathByWd;  // watched folder below the root; "" = root
  std::map<std::string, int> FWdByPath;            // ordered, so a sub-tree is one key range
  std::deque<TPendingChange> FPending;             // in arrival order
  // The newest report waiting per path, keyed by that report's own path in FPending (a deque
  // keeps its elements in place), so a moved-in tree of 100 000 files holds each path once.
  std::unordered_map<std::string_view, std::pair<Core::TFileAction, uint64_t>> FLastPending;
  uint64_t FNextSeq = 0;
  std::chrono::steady_clock::time_point FLastArrival;  // when the newest change was read
  bool FInBurst = false;  // the last change reported said that more were coming
  bool FOverflowed = false;
  bool FWatchLimitReported = false;

  // FHandlerLock guards FOnChange only; the handler is called on a copy, outside the lock.
  std::mutex FHandlerLock;
  TFileChangeEvent FOnChange;
};

}  // namespace Pondar::Fs
