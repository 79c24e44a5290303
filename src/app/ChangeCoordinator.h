// What the engine does about changes to the shared folder: the user's changes here are listed
// and told to every peer, and a peer's notice of its own changes starts a sync with it; each
// side at most once per rate window, without losing what comes inside one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "app/RateWindow.h"
#include "app/Sinks.h"
#include "app/TimerQueue.h"
#include "core/Types.h"
#include "fs/Scanner.h"

namespace Pondar::Fs {
class TFileList;
}
namespace Pondar::Net {
class TPeerOutbox;
}

namespace Pondard::App {

// Whom the coordinator calls on: all set by the engine, callable from any thread.
struct TChangeLinks {
  // The peers known now; empty while discovery does not run.
  std::function<Pondar::Core::TPeerInfoDynArray()> Peers;
  // Starts a sync with the peer, or has it wait behind the one that runs.
  std::function<void(const Pondar::Core::TPeerInfo& APeer)> SyncWith;
  // True while a sync, of this run or an earlier one, may still be writing into the folder.
  std::function<bool()> SyncsRunning;
  // Where notices to peers are queued; never null.
  std::shared_ptr<Pondar::Net::TPeerOutbox> Outbox;
  // Walks the folder for every scan, handing each entry on, and collecting the temporary files
  // of downloads when ALeftovers is given. Empty: Pondar::Fs::ScanFolder.
  std::function<void(const std::string& AFolder, const Pondar::Fs::TEntrySink& ASink,
                     std::vector<std::string>* ALeftovers)>
      Walk;
};

// All the work runs on one thread of the coordinator's own, one action after another: local
// creates, modifies and deletes (rescans, list edits and notices, in the order they happened),
// and the take-ups deferred to the end of a rate window. The handlers only decide and post, so
// the watcher and the server's threads never wait for a rescan or a peer; nor does the work
// thread wait for a peer, as notices go out through the engine's outbox.
//
// Start and Stop on the engine's owner thread; Start before any worker that calls the handlers
// starts, Stop before they stop (a handler called after Stop posts nothing). The rate windows
// outlive a Stop, so that a restart does not open a window early.
class TChangeCoordinator {
 public:
  // AFiles is the engine's list, shared with the server and the syncs.
  TChangeCoordinator(std::shared_ptr<Pondar::Fs::TFileList> AFiles, TSinkRoute ARoute,
                     TChangeLinks ALinks);
  ~TChangeCoordinator();
  TChangeCoordinator(const TChangeCoordinator&) = delete;
  TChangeCoordinator& operator=(const TChangeCoordinator&) = delete;

  // Drops the take-ups held back when the engine last stopped (the scan and the syncs of this
  // start cover them) and starts the work thread. Without AFileSharing every change and notice
  // is ignored.
  void Start(const std::string& AFolder, bool AFileSharing);
  // Logs that the scan begins and returns: with file sharing, the folder is scanned into the
  // list as the work thread's next action, the downloads a killed run left are removed, the
  // count is logged. AThen runs after that, on the work thread (at once without file sharing):
  // what must wait for the whole list, such as letting peers know of this one. Called
  // after Start, once the workers that serve and fill the list run: a large folder takes a
  // while to walk, and the caller (the window's thread) does not wait for it.
  void ScanThen(std::function<void()> AThen);
  // Drops the work still waiting (the next start rescans and resyncs) and waits for the action
  // that runs now (a rescan; notices are only queued, never waited for).
  void Stop();

  // A local change the folder watcher reports; its thread goes on reading at once. The first
  // change of a window is taken up at once, unless AMoreComing says that it opens a burst (a
  // copy of many files): the burst is then taken up as one, with one rescan and one notice, as
  // soon as its last change is reported, and at the window's end at the latest. A peer then
  // fetches the whole burst in one sync instead of its first file alone and the rest a notice
  // window later.
  void OnLocalChange(Pondar::Core::TFileAction AAction, const RawUtf8& ARelPath,
                     bool AMoreComing = false);
  // A peer's notice of its changes, on the server's thread. The port to sync with comes from
  // the discovery table: a sender it does not know is ignored.
  void OnChangesNotify(const RawUtf8& APeerIP);

  // Notices queued for every peer, each on its own queue, returning at once; to each peer one
  // after another, in order. A peer that does not take them costs its own time-outs, never
  // the work thread's or another peer's. Failures are silent: the peer's next sync with us
  // repairs what it missed.
  static void NotifyPeersOfChange(Pondar::Net::TPeerOutbox& AOutbox,
                                  const Pondar::Core::TPeerInfoDynArray& APeers);
  static void NotifyPeersOfDelete(Pondar::Net::TPeerOutbox& AOutbox,
                                  const std::vector<RawUtf8>& ARelPaths,
                                  const Pondar::Core::TPeerInfoDynArray& APeers);

  // A local change is taken up at most once per window, and a peer's change notice likewise;
  // what arrives inside a window is taken up once when it ends, so the last change is never lost.
  static constexpr uint64_t LocalChangeWindowMs = 2000;
  static constexpr uint64_t ChangeNoticeWindowMs = 3000;

 private:
  // Runs AAction on the work thread ADelayMs from now; nothing once stopped.
  void Post(uint64_t ADelayMs, std::function<void()> AAction);
  void ScanAtStart();
  void Walk(const Pondar::Fs::TEntrySink& ASink, std::vector<std::string>* ALeftovers) const;
  bool IsFolder(const RawUtf8& ARelPath) const;
  // True when the file is on disk with the size and whole-second time the list gives it.
  bool ListedAsOnDisk(const RawUtf8& ARelPath) const;
  // Under FRateLock: takes a create or modify up now, or holds it for its window or its burst.
  void HoldOrTakeUp(const RawUtf8& ARelPath, bool AMoreComing);
  void TakeUpLocalChange(const RawUtf8& ARelPath, bool AFirstOfWindow);
  void TakeUpLocalDelete(const RawUtf8& ARelPath);
  void TakeUpPendingLocalChange();
  void TakeUpBurst();
  void TakeUpPendingNotices();
  void SyncWithPeerAt(const RawUtf8& APeerIP);
  // True when the list changed.
  bool Rescan();

  const std::shared_ptr<Pondar::Fs::TFileList> FFiles;
  const TSinkRoute FRoute;
  const TChangeLinks FLinks;
  // Written by Start, before the work thread and the workers that call the handlers start.
  std::string FFolder;
  bool FFileSharing = false;
  // Exists from the first Start; replaced by every Start, when no handler runs.
  std::unique_ptr<TTimerQueue> FWork;

  std::mutex FRateLock;  // guards the rate windows and what they hold back
  TRateWindow FNoticeWindow{ChangeNoticeWindowMs};      // peers' change notices, all peers
  std::set<RawUtf8> FPendingNoticeIPs;                  // senders held back in the window
  TRateWindow FLocalChangeWindow{LocalChangeWindowMs};  // local creates and modifies
  RawUtf8 FPendingChangePath;                           // the last one held back
  bool FBurstOpen = false;  // the window's first change waits for the end of its burst
};

}  // namespace Pondard::App
