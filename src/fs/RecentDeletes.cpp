#include "fs/RecentDeletes.h"

#include <algorithm>

namespace Pondar::Fs {

namespace {

// The key under which SameRelPath's equal spellings meet: bit 0x20 of every byte cleared.
std::string Folded(const RawUtf8& APath) {
  std::string key = APath;
  for (char& c : key) c = static_cast<char>(static_cast<unsigned char>(c) & 0xDF);
  return key;
}

// Prunes at most this often, so that a mass delete does not scan the table per file.
constexpr uint64_t PruneEveryMs = 1000;

}  // namespace

void TRecentDeletes::Record(const RawUtf8& ARelPath, double AUtc, uint64_t ATick) {
  std::lock_guard lock(FLock);
  if (ATick - FLastPrune >= PruneEveryMs) Prune(ATick);
  TDelete& entry = FDeletes[Folded(ARelPath)];
  entry.Utc = std::max(entry.Utc, AUtc);
  entry.Tick = ATick;
}

double TRecentDeletes::LastDelete(const RawUtf8& ARelPath, uint64_t ATick) {
  std::lock_guard lock(FLock);
  if (ATick - FLastPrune >= PruneEveryMs) Prune(ATick);
  // Asked for every entry of every peer's list: nothing to allocate when nothing was deleted.
  if (FDeletes.empty()) return 0.0;
  const std::string key = Folded(ARelPath);
  double newest = 0.0;
  // The path itself, then every folder above it: "a/b/c", "a/b", "a".
  for (size_t end = key.size(); end > 0;) {
    const auto it = FDeletes.find(key.substr(0, end));
    if (it != FDeletes.end() && ATick - it->second.Tick < KeepMs)
      newest = std::max(newest, it->second.Utc);
    const size_t slash = ARelPath.rfind('/', end - 1);
    end = slash == RawUtf8::npos ? 0 : slash;
  }
  return newest;
}

void TRecentDeletes::Prune(uint64_t ATick) {
  FLastPrune = ATick;
  std::erase_if(FDeletes,
                [ATick](const auto& AItem) { return ATick - AItem.second.Tick >= KeepMs; });
}

}  // namespace Pondar::Fs
