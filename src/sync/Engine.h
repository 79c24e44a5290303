// Keeping the shared folder in step with the peers: pull what is missing or newer from one
// peer, apply a peer's deletes, and tell every peer of our own changes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/Types.h"

namespace Pondar::Fs {
class TFileWatcher;
}

namespace Pondar::Sync {

using Core::RawUtf8;
using Core::TFileEntries;
using Core::TPeerInfoDynArray;

struct TSyncStats {
  int32_t Received = 0;
  int32_t Sent = 0;     // a sync only pulls, so this stays 0
  int32_t Deleted = 0;  // deletes travel as notices, so this stays 0
  void Clear() { *this = TSyncStats{}; }
};

using TSyncLogProc = std::function<void(const RawUtf8& AMsg)>;
using TSyncProgressProc =
    std::function<void(const RawUtf8& ARelPath, int64_t AReceived, int64_t ATotal)>;

class TFetchGate;

// A plain value: the application engine fills it at every start, and every sync thread works on
// a copy of its own. Everything it refers to is shared ownership, so a sync that outlives a
// restart, or the engine itself, never touches freed state.
struct TSyncEngine {
  TSyncEngine();

  std::string RootDir;
  std::shared_ptr<TFileEntries> Entries;         // the engine's list, guarded by EntriesLock
  std::shared_ptr<Core::TLightLock> EntriesLock;
  std::shared_ptr<Fs::TFileWatcher> Watcher;     // none when no watcher runs
  TSyncLogProc OnLog;                            // called on the syncing thread
  TSyncProgressProc OnProgress;                  // files of 256 KiB and more
  // Set to end every running sync between files (and a transfer between blocks).
  std::shared_ptr<std::atomic<bool>> Cancel;
  // Serialises fetches of one path across all syncs that share it.
  std::shared_ptr<TFetchGate> FetchGate;

  // Pulls from one peer every file that is missing here or newer there, one at a time in the
  // peer's list order. Returns the counts; an unreachable peer gives all zeros. Ends early when
  // the peer can no longer be connected to at all, or when Cancel is set. A local file error
  // (the temporary file cannot be written) ends the call with std::runtime_error.
  TSyncStats SyncWithPeer(const RawUtf8& APeerIP, uint16_t APeerPort, const RawUtf8& APeerName);
  // Deletes the local copy of a file a peer deleted; folders and missing paths are left alone.
  void HandleRemoteDelete(const RawUtf8& ARelPath);
  // One notice to each peer, in order, on the calling thread; failures are silent.
  void NotifyPeersOfChange(const TPeerInfoDynArray& APeers) const;
  void NotifyPeersOfDelete(const RawUtf8& ARelPath, const TPeerInfoDynArray& APeers) const;

  // How long a path stays suppressed after our own write or delete: longer than the watcher's
  // settle delay, so the notifications our own change causes are dropped.
  static constexpr uint32_t DownloadHoldMs = 600;
  static constexpr uint32_t DeleteHoldMs = 250;
  static constexpr uint32_t ProgressThreshold = 262144;

 private:
  bool ShouldFetch(const Core::TFileEntry& ARemote) const;
  bool Cancelled() const { return Cancel && Cancel->load(std::memory_order_acquire); }
  void Log(const RawUtf8& AMsg) const {
    if (OnLog) OnLog(AMsg);
  }
};

}  // namespace Pondar::Sync
