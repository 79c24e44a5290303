#include "fs/FileList.h"

#include <cstring>
#include <utility>

#include "fs/Scanner.h"

namespace Pondar::Fs {

namespace {

// FNV-1a over the bytes with bit 0x20 cleared, so that paths equal under SameRelPath hash
// alike; Mix spreads the state over all bits before it picks a slot. The state after a prefix
// is the hash of that prefix, so the folders of a path hash in the same pass.
constexpr uint64_t HashSeed = 0xcbf29ce484222325ull;

uint64_t Step(uint64_t AState, char AByte) {
  return (AState ^ (static_cast<unsigned char>(AByte) & 0xDFu)) * 0x100000001b3ull;
}

uint64_t Mix(uint64_t AState) {
  AState ^= AState >> 33;
  AState *= 0xff51afd7ed558ccdull;
  AState ^= AState >> 33;
  return AState;
}

// An entry's share of a list's digest: its exact path and every field.
uint64_t EntryHash(const TFileEntry& AEntry) {
  uint64_t state = HashSeed;
  for (const char c : AEntry.RelPath) state = (state ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
  uint64_t time;
  static_assert(sizeof time == sizeof AEntry.ModifiedUtc);
  std::memcpy(&time, &AEntry.ModifiedUtc, sizeof time);
  for (const uint64_t field : {static_cast<uint64_t>(AEntry.Size), time, RelPathHash(AEntry.Sha256)})
    state = Mix(state ^ field) * 0x100000001b3ull;
  return Mix(state);
}

// APath lies below AFolder: AFolder's bytes, then "/", then more.
bool Below(const RawUtf8& APath, std::string_view AFolder) {
  return APath.size() > AFolder.size() && APath[AFolder.size()] == '/' &&
         SameRelPath(std::string_view(APath).substr(0, AFolder.size()), AFolder);
}

}  // namespace

uint64_t RelPathHash(std::string_view ARelPath) {
  uint64_t state = HashSeed;
  for (const char c : ARelPath) state = Step(state, c);
  return Mix(state);
}

TFileIndex::TFileIndex(TFileEntries AEntries) : FEntries(std::move(AEntries)) {
  FGone.assign(FEntries.size(), 0);
  FMarks.assign(FEntries.size(), 0);
  for (const TFileEntry& e : FEntries) FDigest += EntryHash(e);
  Rebuild();
}

void TFileIndex::Rebuild() {
  if (FGaps > 0) {
    size_t kept = 0;
    for (size_t i = 0; i < FEntries.size(); ++i) {
      if (FGone[i]) continue;
      if (kept != i) {
        FEntries[kept] = std::move(FEntries[i]);
        FMarks[kept] = FMarks[i];
      }
      ++kept;
    }
    FEntries.resize(kept);
    FMarks.resize(kept);
    FGone.assign(kept, 0);
    FGaps = 0;
  }
  size_t slots = 16;
  while (slots < FEntries.size() * 2) slots *= 2;
  FSlots.assign(slots, TSlot{});
  FFolders.clear();
  for (size_t i = 0; i < FEntries.size(); ++i) {
    Insert(static_cast<uint32_t>(i), RelPathHash(FEntries[i].RelPath));
    CountFolders(FEntries[i].RelPath, +1);
  }
}

void TFileIndex::Insert(uint32_t APos, uint64_t AHash) {
  const size_t mask = FSlots.size() - 1;
  size_t i = AHash & mask;
  while (FSlots[i].Pos != NoSlot) i = (i + 1) & mask;
  FSlots[i] = TSlot{APos, static_cast<uint32_t>(AHash)};
}

void TFileIndex::EraseSlot(size_t ASlot) {
  // Linear probing without tombstones: every later slot of the run that may move back into the
  // hole does, so a search still meets each entry before the first empty slot.
  const size_t mask = FSlots.size() - 1;
  size_t hole = ASlot;
  for (size_t j = (hole + 1) & mask; FSlots[j].Pos != NoSlot; j = (j + 1) & mask) {
    const size_t home = FSlots[j].Hash & mask;
    const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    FSlots[hole] = FSlots[j];
    hole = j;
  }
  FSlots[hole] = TSlot{};
}

size_t TFileIndex::FindSlot(std::string_view ARelPath, uint64_t AHash, bool ALast) const {
  if (FSlots.empty()) return NoSlot;
  const size_t mask = FSlots.size() - 1;
  const auto tag = static_cast<uint32_t>(AHash);
  size_t found = NoSlot;
  for (size_t i = AHash & mask; FSlots[i].Pos != NoSlot; i = (i + 1) & mask) {
    const TSlot& slot = FSlots[i];
    if (slot.Hash != tag || !SameRelPath(FEntries[slot.Pos].RelPath, ARelPath)) continue;
    if (found == NoSlot || (ALast ? slot.Pos > FSlots[found].Pos : slot.Pos < FSlots[found].Pos))
      found = i;
  }
  return found;
}

size_t TFileIndex::FindExactSlot(std::string_view ARelPath, uint64_t AHash) const {
  if (FSlots.empty()) return NoSlot;
  const size_t mask = FSlots.size() - 1;
  const auto tag = static_cast<uint32_t>(AHash);
  for (size_t i = AHash & mask; FSlots[i].Pos != NoSlot; i = (i + 1) & mask)
    if (FSlots[i].Hash == tag && FEntries[FSlots[i].Pos].RelPath == ARelPath) return i;
  return NoSlot;
}

size_t TFileIndex::SlotOf(uint32_t APos) const {
  const size_t mask = FSlots.size() - 1;
  size_t i = RelPathHash(FEntries[APos].RelPath) & mask;
  while (FSlots[i].Pos != APos) i = (i + 1) & mask;
  return i;
}

void TFileIndex::CountFolders(std::string_view ARelPath, int ADelta) {
  uint64_t state = HashSeed;
  for (const char c : ARelPath) {
    if (c == '/') {
      const auto folder = FFolders.find(Mix(state));
      if (ADelta > 0) {
        ++FFolders[Mix(state)];
      } else if (folder != FFolders.end() && --folder->second == 0) {
        FFolders.erase(folder);
      }
    }
    state = Step(state, c);
  }
}

void TFileIndex::Drop(uint32_t APos) {
  FDigest -= EntryHash(FEntries[APos]);
  CountFolders(FEntries[APos].RelPath, -1);
  FEntries[APos] = TFileEntry{};  // the gap keeps no memory
  FGone[APos] = 1;
  ++FGaps;
}

const TFileEntry* TFileIndex::Find(std::string_view ARelPath) const {
  const size_t slot = FindSlot(ARelPath, RelPathHash(ARelPath), false);
  return slot == NoSlot ? nullptr : &FEntries[FSlots[slot].Pos];
}

namespace {

bool SameValues(const TFileEntry& A, const TFileEntry& B) {
  return A.Size == B.Size && A.ModifiedUtc == B.ModifiedUtc && A.Sha256 == B.Sha256;
}

}  // namespace

void TFileIndex::SetValues(TFileEntry& AInList, const TFileEntry& AValues) {
  FDigest -= EntryHash(AInList);
  AInList.Size = AValues.Size;
  AInList.ModifiedUtc = AValues.ModifiedUtc;
  AInList.Sha256 = AValues.Sha256;
  FDigest += EntryHash(AInList);
}

void TFileIndex::Append(TFileEntry&& AEntry, uint64_t AHash) {
  FDigest += EntryHash(AEntry);
  FEntries.push_back(std::move(AEntry));
  FGone.push_back(0);
  FMarks.push_back(0);
  if (FEntries.size() * 2 > FSlots.size()) {
    Rebuild();
  } else {
    Insert(static_cast<uint32_t>(FEntries.size() - 1), AHash);
    CountFolders(FEntries.back().RelPath, +1);
  }
}

bool TFileIndex::Store(const TFileEntry& AEntry) {
  const uint64_t hash = RelPathHash(AEntry.RelPath);
  if (const size_t slot = FindSlot(AEntry.RelPath, hash, false); slot != NoSlot) {
    TFileEntry& e = FEntries[FSlots[slot].Pos];
    if (SameValues(e, AEntry)) return false;
    SetValues(e, AEntry);
    return true;
  }
  Append(TFileEntry(AEntry), hash);
  return true;
}

TFileIndex::TMarked TFileIndex::Mark(const TFileEntry& AEntry, uint32_t AMark) {
  const size_t slot = FindExactSlot(AEntry.RelPath, RelPathHash(AEntry.RelPath));
  if (slot == NoSlot) return TMarked::Absent;
  const uint32_t pos = FSlots[slot].Pos;
  FMarks[pos] = AMark;
  return SameValues(FEntries[pos], AEntry) ? TMarked::Same : TMarked::Differs;
}

void TFileIndex::StoreMarked(TFileEntry&& AEntry, uint32_t AMark) {
  const uint64_t hash = RelPathHash(AEntry.RelPath);
  if (const size_t slot = FindExactSlot(AEntry.RelPath, hash); slot != NoSlot) {
    const uint32_t pos = FSlots[slot].Pos;
    SetValues(FEntries[pos], AEntry);
    FMarks[pos] = AMark;
    return;
  }
  Append(std::move(AEntry), hash);
  FMarks.back() = AMark;
}

void TFileIndex::RemoveUnmarked(uint32_t AMark) {
  for (size_t pos = 0; pos < FEntries.size(); ++pos) {
    if (FGone[pos] || FMarks[pos] == AMark) continue;
    EraseSlot(SlotOf(static_cast<uint32_t>(pos)));
    Drop(static_cast<uint32_t>(pos));
  }
  if (FGaps > 1024 && FGaps > Size()) Rebuild();
}

bool TFileIndex::Remove(std::string_view ARelPath) {
  const size_t slot = FindSlot(ARelPath, RelPathHash(ARelPath), true);
  if (slot == NoSlot) return false;
  const uint32_t pos = FSlots[slot].Pos;
  EraseSlot(slot);
  Drop(pos);
  if (FGaps > 1024 && FGaps > Size()) Rebuild();
  return true;
}

std::vector<RawUtf8> TFileIndex::RemoveAt(std::string_view ARelPath) {
  std::vector<RawUtf8> removed;
  const uint64_t hash = RelPathHash(ARelPath);
  if (const size_t slot = FindSlot(ARelPath, hash, true); slot != NoSlot) {
    const uint32_t pos = FSlots[slot].Pos;
    removed.push_back(FEntries[pos].RelPath);
    EraseSlot(slot);
    Drop(pos);
  }
  if (FFolders.contains(hash)) {
    for (size_t pos = 0; pos < FEntries.size(); ++pos) {
      if (FGone[pos] || !Below(FEntries[pos].RelPath, ARelPath)) continue;
      removed.push_back(FEntries[pos].RelPath);
      EraseSlot(SlotOf(static_cast<uint32_t>(pos)));
      Drop(static_cast<uint32_t>(pos));
    }
  }
  if (FGaps > 1024 && FGaps > Size()) Rebuild();
  return removed;
}

const TFileEntries& TFileIndex::Entries() {
  if (FGaps > 0) Rebuild();
  return FEntries;
}

size_t TFileList::Size() const {
  std::lock_guard lock(FLock);
  return FIndex.Size();
}

TFileEntries TFileList::Entries() {
  std::lock_guard lock(FLock);
  return FIndex.Entries();
}

std::optional<TFileEntry> TFileList::Find(std::string_view ARelPath) const {
  std::lock_guard lock(FLock);
  const TFileEntry* e = FIndex.Find(ARelPath);
  return e ? std::optional<TFileEntry>(*e) : std::nullopt;
}

void TFileList::Journal(TChange::TKind AKind, const TFileEntry& AEntry) {
  if (FRescanning) FJournal.push_back(TChange{AKind, AEntry});
}

void TFileList::Apply(const TChange& AChange) {
  switch (AChange.Kind) {
    case TChange::TKind::Store:
      FIndex.Store(AChange.Entry);
      break;
    case TChange::TKind::Remove:
      FIndex.Remove(AChange.Entry.RelPath);
      break;
    case TChange::TKind::RemoveAt:
      FIndex.RemoveAt(AChange.Entry.RelPath);
      break;
  }
}

bool TFileList::Rescan(const std::function<void(const TEntrySink& ASink)>& AWalk) {
  std::lock_guard one(FRescanLock);
  uint32_t mark;
  {
    std::lock_guard lock(FLock);
    mark = ++FLastRescan;
    FRescanning = true;
  }
  struct TEnd {  // on every way out, a throwing walk included
    TFileList& List;
    ~TEnd() {
      std::lock_guard lock(List.FLock);
      List.FRescanning = false;
      List.FJournal = {};
    }
  } end{*this};

  // Found entries are marked a batch per lock. What the list lacks goes in at once: at the
  // first scan, that is every entry, and never two lists at a time. What the list holds with
  // other values waits for the end, as a download may have stored newer ones since the walk
  // read them (and the journal then puts those back): at 100 000 files with nothing changed,
  // nothing at all.
  constexpr size_t Batch = 256;
  TFileEntries differing;
  TFileEntries found;
  found.reserve(Batch);
  bool added = false;
  const auto markFound = [&] {
    std::lock_guard lock(FLock);
    for (TFileEntry& e : found) {
      switch (FIndex.Mark(e, mark)) {
        case TFileIndex::TMarked::Same:
          break;
        case TFileIndex::TMarked::Differs:
          differing.push_back(std::move(e));
          break;
        case TFileIndex::TMarked::Absent:
          FIndex.StoreMarked(std::move(e), mark);
          FEncoded.reset();
          added = true;
          break;
      }
    }
    found.clear();
  };
  AWalk([&](TFileEntry&& AEntry) {
    found.push_back(std::move(AEntry));
    if (found.size() == Batch) markFound();
  });
  markFound();

  std::lock_guard lock(FLock);
  const size_t sizeBefore = FIndex.Size();
  const uint64_t digestBefore = FIndex.Digest();
  for (TFileEntry& e : differing) FIndex.StoreMarked(std::move(e), mark);
  // Entries the syncs added during the walk go here too, and come back with the journal.
  FIndex.RemoveUnmarked(mark);
  for (const TChange& change : FJournal) Apply(change);
  const bool changed =
      added || FIndex.Size() != sizeBefore || FIndex.Digest() != digestBefore;
  if (changed) FEncoded.reset();  // an unchanged list keeps its wire form
  return changed;
}

bool TFileList::Replace(TFileEntries AEntries) {
  TFileIndex fresh(std::move(AEntries));
  std::lock_guard lock(FLock);
  const bool changed = fresh.Size() != FIndex.Size() || fresh.Digest() != FIndex.Digest();
  std::swap(FIndex, fresh);
  if (changed) FEncoded.reset();  // an unchanged list keeps its wire form
  return changed;
}  // the old list goes with `fresh`, after the lock is released

void TFileList::Store(const TFileEntry& AEntry) {
  std::lock_guard lock(FLock);
  if (!FIndex.Store(AEntry)) return;
  FEncoded.reset();
  Journal(TChange::TKind::Store, AEntry);
}

bool TFileList::Remove(std::string_view ARelPath) {
  std::lock_guard lock(FLock);
  if (!FIndex.Remove(ARelPath)) return false;
  FEncoded.reset();
  Journal(TChange::TKind::Remove, TFileEntry{RawUtf8(ARelPath), 0, 0, ""});
  return true;
}

std::vector<RawUtf8> TFileList::RemoveAt(std::string_view ARelPath) {
  std::lock_guard lock(FLock);
  auto removed = FIndex.RemoveAt(ARelPath);
  if (removed.empty()) return removed;
  FEncoded.reset();
  Journal(TChange::TKind::RemoveAt, TFileEntry{RawUtf8(ARelPath), 0, 0, ""});
  return removed;
}

std::shared_ptr<const Core::TBytes> TFileList::Encoded(
    const std::function<Core::TBytes(const TFileEntries& AEntries)>& AEncode) {
  std::lock_guard lock(FLock);
  if (!FEncoded) FEncoded = std::make_shared<const Core::TBytes>(AEncode(FIndex.Entries()));
  return FEncoded;
}

}  // namespace Pondar::Fs
