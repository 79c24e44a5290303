// The shared folder's file list, as the server serves it and the syncs decide against it, with
// an index keyed the way paths compare, so that a lookup costs the same at 100 000 files as at 10.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/Types.h"
#include "fs/Scanner.h"

namespace Pondar::Fs {

using Core::RawUtf8;
using Core::TFileEntries;
using Core::TFileEntry;

// The hash paths are kept by: alike for paths that SameRelPath holds equal.
uint64_t RelPathHash(std::string_view ARelPath);

// Entries in list order with a hash index over their paths. Paths compare under SameRelPath
// (bit 0x20 of each byte ignored), so every spelling of a path falls into the same class; the
// list may still hold two spellings of one path, as a case-sensitive folder can.
//
// Not thread-safe: TFileList wraps it with a lock. Finding, storing and removing one entry cost
// O(1) on average; a removal leaves a gap that is closed, with the index rebuilt, once the gaps
// outnumber the entries, so removals stay O(1) amortised and the list order never changes.
class TFileIndex {
 public:
  TFileIndex() = default;
  explicit TFileIndex(TFileEntries AEntries);

  size_t Size() const { return FEntries.size() - FGaps; }
  // A sum over the entries that does not depend on their order: two lists with the same
  // entries have the same digest, whatever order a walk or the downloads put them in.
  uint64_t Digest() const { return FDigest; }
  // The first entry equal to ARelPath, or nullptr.
  const TFileEntry* Find(std::string_view ARelPath) const;
  // Sets size, time and hash of the first entry equal to AEntry.RelPath, keeping its spelling,
  // or appends AEntry. False when an existing entry already held these values.
  bool Store(const TFileEntry& AEntry);
  // Removes the last entry equal to ARelPath; true when one was removed.
  bool Remove(std::string_view ARelPath);
  // What a deleted path takes with it: the last entry equal to ARelPath, and every entry below
  // ARelPath taken as a folder. Returns the removed paths: the equal one first, then the others
  // in list order. Only a path that is a folder of the list costs a pass over the list.
  std::vector<RawUtf8> RemoveAt(std::string_view ARelPath);
  // The entries in list order, without gaps: closes them first.
  const TFileEntries& Entries();

  // A rescan marks what it finds on disk, and then removes what it did not find.
  enum class TMarked : uint8_t { Same, Differs, Absent };
  // Marks the entry spelled exactly as AEntry.RelPath with AMark, and tells whether it holds
  // AEntry's size, time and hash already; Absent when there is no such entry.
  TMarked Mark(const TFileEntry& AEntry, uint32_t AMark);
  // Gives the entry spelled exactly as AEntry.RelPath AEntry's values, or appends AEntry, and
  // marks it with AMark.
  void StoreMarked(TFileEntry&& AEntry, uint32_t AMark);
  // Removes every entry not marked with AMark.
  void RemoveUnmarked(uint32_t AMark);

 private:
  static constexpr uint32_t NoSlot = UINT32_MAX;
  struct TSlot {
    uint32_t Pos = NoSlot;  // index into FEntries
    uint32_t Hash = 0;      // low bits of the path's hash, to pass over most others at once
  };

  void Rebuild();
  void Append(TFileEntry&& AEntry, uint64_t AHash);
  void SetValues(TFileEntry& AInList, const TFileEntry& AValues);
  void Insert(uint32_t APos, uint64_t AHash);
  void EraseSlot(size_t ASlot);
  // The slot of the first (ALast: last) live entry equal to ARelPath, or NoSlot.
  size_t FindSlot(std::string_view ARelPath, uint64_t AHash, bool ALast) const;
  // The slot of the entry spelled exactly ARelPath, or NoSlot.
  size_t FindExactSlot(std::string_view ARelPath, uint64_t AHash) const;
  size_t SlotOf(uint32_t APos) const;
  void CountFolders(std::string_view ARelPath, int ADelta);
  void Drop(uint32_t APos);

  TFileEntries FEntries;
  uint64_t FDigest = 0;
  std::vector<uint8_t> FGone;  // 1 for a removed entry's gap, per position
  std::vector<uint32_t> FMarks;  // per position, the last rescan that found the entry
  size_t FGaps = 0;
  std::vector<TSlot> FSlots;  // open addressing, linear probing; size a power of two
  // Per folder (by the hash of its path), how many entries lie below it. A collision only
  // costs a pass over the list that finds nothing.
  std::unordered_map<uint64_t, uint32_t> FFolders;
};

// The list the server, the syncs and the engine share. Every member takes the list's own lock,
// and none holds it for longer than its own work on the list: nothing here waits for the disk or
// the network while others wait for the list.
class TFileList {
 public:
  size_t Size() const;
  // A copy of the entries in list order.
  TFileEntries Entries();
  // A copy of the first entry equal to ARelPath.
  std::optional<TFileEntry> Find(std::string_view ARelPath) const;
  // Brings the list in step with a walk of the folder without building a second list beside
  // it: AWalk hands each entry it finds to the sink it is given, with no lock held across the
  // walk, and what the walk did not find goes at the end. Syncs and deletes go on changing the
  // list meanwhile; their changes are applied again at the end, so that a download the walk
  // missed (its folder was read before the file landed) keeps its entry, and a file deleted
  // behind the walk does not come back. One rescan at a time: another waits for it.
  // False when the list holds just what it held before (in whatever order).
  bool Rescan(const std::function<void(const TEntrySink& ASink)>& AWalk);
  // Puts AEntries in place of the list; the index is built before the lock is taken, and the
  // old list freed after it is released. False when the new list holds just what the old one
  // did (in whatever order).
  bool Replace(TFileEntries AEntries);
  void Store(const TFileEntry& AEntry);
  bool Remove(std::string_view ARelPath);
  std::vector<RawUtf8> RemoveAt(std::string_view ARelPath);
  // The list's wire form, made by AEncode under the lock at most once per change of the list,
  // and shared by every caller until the next change. A change drops it at once, so a stale
  // form (10 MB at 100 000 files) never waits beside the list that replaced it.
  std::shared_ptr<const Core::TBytes> Encoded(
      const std::function<Core::TBytes(const TFileEntries& AEntries)>& AEncode);

 private:
  // A change of the list, as a rescan that runs meanwhile has to apply it again.
  struct TChange {
    enum class TKind : uint8_t { Store, Remove, RemoveAt } Kind;
    TFileEntry Entry;  // the path alone, for the removals
  };
  void Journal(TChange::TKind AKind, const TFileEntry& AEntry);

  void Apply(const TChange& AChange);

  std::mutex FRescanLock;  // held by a rescan from start to end: the marks are the list's own
  mutable Core::TLightLock FLock;  // guards everything below
  TFileIndex FIndex;
  std::shared_ptr<const Core::TBytes> FEncoded;
  uint32_t FLastRescan = 0;
  bool FRescanning = false;
  std::vector<TChange> FJournal;  // the changes made while a rescan walks
};

}  // namespace Pondar::Fs
