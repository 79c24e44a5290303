// Reports local changes below the shared folder, except those the program made itself.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/Types.h"
#include "core/Worker.h"

namespace Pondar::Fs {

using TFileChangeEvent = std::function<void(Core::TFileAction AAction, const RawUtf8& ARelPath)>;

// Watches ARootDir and its whole tree (inotify, one watch per folder, folders created or moved
// in while running are watched at once). Starts in its constructor. Each batch of changes is
// processed 200 ms after it arrived; a rename is a delete of the old path and a create of the
// new one; an overflow loses that batch silently. OnChange runs on the watcher thread.
// Owner's protocol: SignalStop, WaitFor, destroy. A folder that cannot be watched gives an
// inert watcher that reports nothing.
class TFileWatcher : public Core::TWorkerThread {
 public:
  explicit TFileWatcher(std::string ARootDir);
  ~TFileWatcher() override;

  // Sets the listener; safe while the thread runs. An empty function reports nothing.
  void SetOnChange(TFileChangeEvent AHandler);
  // Ends the thread at once (it is woken, not polled).
  void SignalStop();

  // The counted suppression list, compared with SameRelPath.
  void SuppressPath(const RawUtf8& ARelPath);
  // Removes the most recently added equal occurrence; nothing when there is none.
  void UnsuppressPath(const RawUtf8& ARelPath);
  // Like UnsuppressPath, but the occurrence goes only ADelayMs from now, so that the change
  // notifications our own write is still causing are dropped without anyone sleeping.
  void UnsuppressPathAfter(const RawUtf8& ARelPath, uint32_t ADelayMs);
  bool IsSuppressed(const RawUtf8& ARelPath);

  // True for paths ending in ".pondartmp" and for "pondar.exe" in the root, whatever the case.
  static bool IsIgnoredPath(const RawUtf8& ARelPath);

 protected:
  void Execute() override;
};

}  // namespace Pondar::Fs
