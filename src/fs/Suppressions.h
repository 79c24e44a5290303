// The paths whose changes the program is making itself right now (a download, a delete a peer
// asked for), so that the folder watcher does not report them back as the user's changes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/Types.h"

namespace Pondar::Fs {

using Core::RawUtf8;

// Which of our own changes a suppression stands for. A download only ever creates or modifies
// its path and a delete only deletes it, so the user's opposite change to the same path, made
// while the hold lasts, is still reported.
enum class TSuppressKind : uint8_t { Everything, Writes, Deletes };

// A counted list of held paths, compared with SameRelPath. The sync engine owns it and adds to
// it around every write and delete it makes; the watcher only asks IsSuppressed before it
// reports a change. Any thread: one light lock of its own guards the list, held for the one
// operation alone; nothing here blocks or calls out.
class TSuppressions {
 public:
  // AClock times UnsuppressPathAfter (for tests; empty: the steady clock in milliseconds).
  explicit TSuppressions(Core::TTickSource AClock = {});

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

  // The folder watcher's progress, on this list's clock: every change made before ATick has
  // been read from the kernel. While a watcher says so, a retired occurrence goes only once
  // the watcher has read past its retirement as well as after its delay: a watcher held up
  // (a loaded machine) still reads our own change's events while they are held. Without a
  // watcher (none yet, or WatcherGone) the delay alone counts.
  void WatcherReadUpTo(uint64_t ATick);
  void WatcherGone();
  uint64_t Now() const { return FClock(); }

 private:
  struct TSuppression {
    RawUtf8 Path;
    TSuppressKind Kind = TSuppressKind::Everything;
    bool Expiring = false;  // UnsuppressPathAfter has retired it: it counts DelayMs more
    uint64_t RetiredAt = 0;
    uint32_t DelayMs = 0;
  };
  bool IsSuppressedWhere(const RawUtf8& ARelPath,
                         const std::function<bool(TSuppressKind)>& ACovers);

  const Core::TTickSource FClock;
  Core::TLightLock FLock;  // guards FHeld, FSweptAt and FReadUpTo
  // Suppressions by the RelPathHash of their path, each bucket in order of addition (SameRelPath
  // tells a bucket's paths apart): a download holds one while thousands of others are held.
  // Expired ones go when their path is next looked at, and all of them once a second.
  std::unordered_map<uint64_t, std::vector<TSuppression>> FHeld;
  uint64_t FSweptAt = 0;
  std::optional<uint64_t> FReadUpTo;  // set while a watcher reports its progress
};

}  // namespace Pondar::Fs
