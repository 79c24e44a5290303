#include "fs/Suppressions.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "fs/FileList.h"
#include "fs/Scanner.h"

namespace Pondar::Fs {

namespace {

// The most recently added occurrence of the path and kind that is not already due to go.
template <class TItems>
auto NewestHeld(TItems& AItems, const RawUtf8& ARelPath, TSuppressKind AKind) {
  for (auto it = AItems.end(); it != AItems.begin();) {
    --it;
    if (!it->Expiring && it->Kind == AKind && SameRelPath(it->Path, ARelPath)) return it;
  }
  return AItems.end();
}

}  // namespace

TSuppressions::TSuppressions(Core::TTickSource AClock)
    : FClock(AClock ? std::move(AClock) : [] { return Core::GetTickCount64(); }) {}

void TSuppressions::SuppressPath(const RawUtf8& ARelPath, TSuppressKind AKind) {
  const uint64_t key = RelPathHash(ARelPath);
  std::lock_guard lock(FLock);
  FHeld[key].push_back(TSuppression{ARelPath, AKind});
}

void TSuppressions::UnsuppressPath(const RawUtf8& ARelPath, TSuppressKind AKind) {
  const uint64_t key = RelPathHash(ARelPath);
  std::lock_guard lock(FLock);
  const auto bucket = FHeld.find(key);
  if (bucket == FHeld.end()) return;
  auto& items = bucket->second;
  if (const auto it = NewestHeld(items, ARelPath, AKind); it != items.end()) items.erase(it);
  if (items.empty()) FHeld.erase(bucket);
}

void TSuppressions::UnsuppressPathAfter(const RawUtf8& ARelPath, uint32_t ADelayMs,
                                        TSuppressKind AKind) {
  const uint64_t now = FClock();
  const uint64_t key = RelPathHash(ARelPath);
  std::lock_guard lock(FLock);
  const auto bucket = FHeld.find(key);
  if (bucket == FHeld.end()) return;
  if (const auto it = NewestHeld(bucket->second, ARelPath, AKind); it != bucket->second.end()) {
    it->Expiring = true;
    it->RetiredAt = now;
    it->DelayMs = ADelayMs;
  }
}

bool TSuppressions::IsSuppressed(const RawUtf8& ARelPath) {
  return IsSuppressedWhere(ARelPath, [](TSuppressKind) { return true; });
}

bool TSuppressions::IsSuppressed(const RawUtf8& ARelPath, Core::TFileAction AAction) {
  const bool isDelete = AAction == Core::TFileAction::faDeleted;
  return IsSuppressedWhere(ARelPath, [isDelete](TSuppressKind AKind) {
    return AKind == TSuppressKind::Everything ||
           (isDelete ? AKind == TSuppressKind::Deletes : AKind == TSuppressKind::Writes);
  });
}

bool TSuppressions::IsSuppressedWhere(const RawUtf8& ARelPath,
                                      const std::function<bool(TSuppressKind)>& ACovers) {
  constexpr uint64_t SweepEveryMs = 1000;
  const uint64_t now = FClock();
  const uint64_t key = RelPathHash(ARelPath);
  std::lock_guard lock(FLock);
  // Strictly after: a read begun within the same tick may have come before our change.
  const auto expired = [now, readUpTo = FReadUpTo](const TSuppression& AItem) {
    return AItem.Expiring && now - AItem.RetiredAt >= AItem.DelayMs &&
           (!readUpTo || *readUpTo > AItem.RetiredAt);
  };
  if (now - FSweptAt >= SweepEveryMs) {
    FSweptAt = now;
    for (auto it = FHeld.begin(); it != FHeld.end();) {
      std::erase_if(it->second, expired);
      it = it->second.empty() ? FHeld.erase(it) : std::next(it);
    }
  }
  const auto bucket = FHeld.find(key);
  if (bucket == FHeld.end()) return false;
  auto& items = bucket->second;
  std::erase_if(items, expired);
  const bool held = std::any_of(items.begin(), items.end(), [&](const TSuppression& AItem) {
    return ACovers(AItem.Kind) && SameRelPath(AItem.Path, ARelPath);
  });
  if (items.empty()) FHeld.erase(bucket);
  return held;
}

void TSuppressions::WatcherReadUpTo(uint64_t ATick) {
  std::lock_guard lock(FLock);
  if (!FReadUpTo || *FReadUpTo < ATick) FReadUpTo = ATick;
}

void TSuppressions::WatcherGone() {
  std::lock_guard lock(FLock);
  FReadUpTo.reset();
}

}  // namespace Pondar::Fs
