// The local deletes of the last minute, so that a sync never fetches back a file the user has
// just deleted, or one from a folder just deleted or moved away, from a peer that has not yet
// heard of the delete.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/Types.h"

namespace Pondar::Fs {

using Core::RawUtf8;

// Paths compare as SameRelPath does. Any thread; one lock of its own, held for the lookup only.
class TRecentDeletes {
 public:
  // How long a delete is remembered: longer than it takes to tell every peer of it.
  static constexpr uint64_t KeepMs = 60000;

  // ARelPath (a file or a folder) was deleted at the UTC day count AUtc, read at tick ATick.
  void Record(const RawUtf8& ARelPath, double AUtc, uint64_t ATick);
  // The newest delete time remembered at tick ATick for ARelPath or a folder above it; 0.0
  // when there is none.
  double LastDelete(const RawUtf8& ARelPath, uint64_t ATick);

 private:
  struct TDelete {
    double Utc = 0;
    uint64_t Tick = 0;
  };
  void Prune(uint64_t ATick);

  std::mutex FLock;                                   // guards FDeletes and FLastPrune
  std::unordered_map<std::string, TDelete> FDeletes;  // keyed by the case-folded path
  uint64_t FLastPrune = 0;
};

}  // namespace Pondar::Fs
