// Keeping the shared folder in step with the peers: pull what is missing or newer from one
// peer, and apply a peer's deletes, without the folder watcher taking either for the user's.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Types.h"

namespace Pondar::Fs {
class TFileList;
class TRecentDeletes;
class TSuppressions;
}  // namespace Pondar::Fs

namespace Pondar::Sync {

using Core::RawUtf8;
using Core::TFileEntries;

// A sync only pulls: what it sends and what it deletes are not its to count (deletes travel
// as notices).
struct TSyncStats {
  int32_t Received = 0;
  // What went wrong, so that a failure is never reported as success:
  bool Unreachable = false;  // the peer's list could not be had; nothing else was tried
  int32_t NotReceived = 0;   // files to fetch that did not arrive, or were not tried any more
  RawUtf8 StoppedBy;         // a local error that would hit every file ended the sync; or empty
  void Clear() { *this = TSyncStats{}; }
};

using TSyncLogProc = std::function<void(const RawUtf8& AMsg)>;
using TSyncProgressProc =
    std::function<void(const RawUtf8& ARelPath, int64_t AReceived, int64_t ATotal)>;

class TFetchGate;
class TFetchGateHold;

// A plain value: the application engine fills it at every start, and every sync thread works on
// a copy of its own. Everything it refers to is shared ownership, made by the constructor and
// never null, so a sync that outlives a restart, or the engine itself, never touches freed state.
struct TSyncEngine {
  TSyncEngine();

  // The shared folder, which every write and delete stays below. Nothing is fetched nor
  // deleted while it is not an absolute path: an empty or relative one would have the peers'
  // paths taken from "/" or from wherever the process happens to run.
  std::string RootDir;
  std::shared_ptr<Fs::TFileList> Files;  // the engine's list, shared with the server
  // Our own writes and deletes, held around each so that the folder watcher, which is handed
  // the same list, does not report them.
  std::shared_ptr<Fs::TSuppressions> Suppressions;
  // The user's deletes of the last minute, which the folder watcher records as it reads them.
  std::shared_ptr<Fs::TRecentDeletes> RecentDeletes;
  TSyncLogProc OnLog;            // called on the syncing thread
  TSyncProgressProc OnProgress;  // files of 256 KiB and more
  // Set to end every running sync between files (and a transfer between blocks).
  std::shared_ptr<std::atomic<bool>> Cancel;
  // Serialises fetches of one path across all syncs that share it.
  std::shared_ptr<TFetchGate> FetchGate;

  // Pulls from one peer every file that is missing here or newer there, Receivers requests at a
  // time, each receiver on a part of the peer's list of its own, and returns the counts once every
  // file is in place. Never throws for a failure of the network or of one path:
  // - an unreachable peer (or a broken list) gives Unreachable and nothing else;
  // - a listed entry whose path NormalizeRelPath refuses, whose name the scanner leaves out, or
  //   whose size or time is absurd is passed over;
  // - a remote entry that matches a local one of another spelling is written to the local
  //   spelling's file, so the list and the disk keep agreeing;
  // - a path deleted here in the last minute (the file or a folder above it) is fetched only
  //   when the peer's copy is newer than the delete;
  // - a file that cannot be fetched (three attempts) or written here (a name too long, a file
  //   in the way of a folder, no permission) counts in NotReceived and the next file follows;
  // - when the peer can no longer be connected to at all, the files still to fetch count in
  //   NotReceived without being tried; an error that would hit every file (no space left, a
  //   read-only or failing disk) ends the sync the same way and is named in StoppedBy.
  // Ends early, without counting, when Cancel is set; asks for nothing, with StoppedBy said,
  // while RootDir is not absolute.
  TSyncStats SyncWithPeer(const RawUtf8& APeerIP, uint16_t APeerPort);
  // Deletes the local copy of a file a peer deleted; folders, missing files and paths that
  // NormalizeRelPath refuses are left alone, and so is everything while RootDir is not
  // absolute. The list's spelling of the path names the file.
  // The entry goes only when the file is gone; a file that cannot be deleted keeps it.
  void HandleRemoteDelete(const RawUtf8& ARelPath);

  // Empty when ADir can be the shared folder, an absolute path of an existing folder other
  // than "/"; otherwise why it cannot, for the log.
  static std::string RootProblem(const std::string& ADir);

  // How long a path stays suppressed after our own write or delete: longer than the watcher's
  // settle delay, so the notifications our own change causes are dropped.
  static constexpr uint32_t DownloadHoldMs = 600;
  static constexpr uint32_t DeleteHoldMs = 250;
  static constexpr uint32_t ProgressThreshold = 262144;
  // Requests a sync keeps on their way to the peer at once. Measured on two cores with small
  // files: two took 0.8 of the time of one, three 0.6, four no less than three.
  static constexpr size_t Receivers = 3;

 private:
  // Decides for a remote entry; on true, ALocalRelPath is the spelling to write it under.
  bool ShouldFetch(const Core::TFileEntry& ARemote, RawUtf8& ALocalRelPath) const;
  struct TSyncTally;
  class TFinishQueue;
  class TListParts;
  // Holds the download's own paths (the file, and the folders it makes on its way) in the
  // suppressions; they are released, DownloadHoldMs later, when the returned hold goes.
  std::shared_ptr<void> HoldOwnWrites(const RawUtf8& ALocalRelPath) const;
  // A received file is in place: listed and counted, or deleted again when the user deleted it
  // meanwhile.
  void PlaceFetched(const Core::TFileEntry& ARemote, const RawUtf8& ALocalRelPath,
                    TSyncTally& ATally) const;
  // Receives the file under the gate's hold and queues its finishing; false when it did not
  // arrive (three attempts). The hold is released once the file is finished.
  bool Fetch(const RawUtf8& APeerIP, uint16_t APeerPort, const Core::TFileEntry& ARemote,
             const RawUtf8& ALocalRelPath, std::unique_ptr<TFetchGateHold> AHold,
             TFinishQueue& AFinish, TSyncTally& ATally);
  // One entry of the peer's list: passed over, fetched and queued for finishing, or counted
  // as not received.
  void FetchListed(const Core::TFileEntry& AListed, const RawUtf8& APeerIP, uint16_t APeerPort,
                   TFinishQueue& AFinish, TSyncTally& ATally);
  bool Cancelled() const { return Cancel && Cancel->load(std::memory_order_acquire); }
  // A normalized relative path joined to an absolute root names a place below it.
  bool RootIsAbsolute() const { return !RootDir.empty() && RootDir.front() == '/'; }
  // The newest delete of the path or a folder above it in the last minute; 0.0: none.
  double LastDeleteUtc(const RawUtf8& ARelPath) const;
  void Log(const RawUtf8& AMsg) const {
    if (OnLog) OnLog(AMsg);
  }
};

}  // namespace Pondar::Sync
