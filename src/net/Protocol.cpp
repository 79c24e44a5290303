#include "net/Protocol.h"

#include <algorithm>
#include <cstring>

namespace Pondar::Net {

TBytes EncodeFileList(const TFileEntries& AEntries) {
  size_t total = 4;
  for (const auto& e : AEntries) total += FileRecordFixedBytes + (e.RelPath.size() & 0xFFFF);
  TBytes out(total, 0);
  uint8_t* p = out.data();
  PutLe32(p, static_cast<uint32_t>(AEntries.size()));
  p += 4;
  for (const auto& e : AEntries) {
    // A path longer than the 16-bit field keeps the low 16 bits of its length, as peers expect.
    const uint16_t pathLen = static_cast<uint16_t>(e.RelPath.size());
    PutLe16(p, pathLen);
    std::memcpy(p + 2, e.RelPath.data(), pathLen);
    p += 2 + pathLen;
    PutLe64(p, static_cast<uint64_t>(e.Size));
    PutLeDouble(p + 8, e.ModifiedUtc);
    std::memcpy(p + 16, e.Sha256.data(), std::min(e.Sha256.size(), HashFieldBytes));
    p += 16 + HashFieldBytes;
  }
  return out;
}

void TFileListDecoder::Feed(const uint8_t* AData, size_t ACount) {
  const uint8_t* data = AData;
  size_t count = ACount;
  // A record cut by the end of the last piece is completed from this one first.
  if (!FPending.empty()) {
    FPending.insert(FPending.end(), AData, AData + ACount);
    data = FPending.data();
    count = FPending.size();
  }
  size_t pos = 0;
  if (!FHaveCount) {
    if (count < 4) {
      if (FPending.empty()) FPending.assign(AData, AData + ACount);
      return;
    }
    FCount = GetLe32(data);
    FHaveCount = true;
    pos = 4;
    // Reserve only what the bytes could hold, so a lying count cannot make us allocate.
    FEntries.reserve(std::min<size_t>(FCount, (count - 4) / FileRecordFixedBytes));
  }
  while (FEntries.size() < FCount && count - pos >= 2) {
    const uint16_t pathLen = GetLe16(data + pos);
    if (count - pos < 2 + size_t{pathLen} + 16 + HashFieldBytes) break;
    pos += 2;
    Core::TFileEntry e;
    e.RelPath.assign(reinterpret_cast<const char*>(data + pos), pathLen);
    pos += pathLen;
    e.Size = static_cast<int64_t>(GetLe64(data + pos));
    e.ModifiedUtc = GetLeDouble(data + pos + 8);
    const char* hash = reinterpret_cast<const char*>(data + pos + 16);
    size_t first = 0, last = HashFieldBytes;
    // Strip control bytes and blanks from both ends: this removes the zero padding.
    while (first < last && static_cast<uint8_t>(hash[first]) <= 32) ++first;
    while (last > first && static_cast<uint8_t>(hash[last - 1]) <= 32) --last;
    e.Sha256.assign(hash + first, last - first);
    pos += 16 + HashFieldBytes;
    FEntries.push_back(std::move(e));
  }
  if (FEntries.size() >= FCount) {
    TBytes().swap(FPending);  // whatever follows the last record is not ours to read
    return;
  }
  TBytes rest(data + pos, data + count);
  FPending.swap(rest);
}

TFileEntries DecodeFileList(const uint8_t* AData, size_t ACount) {
  TFileListDecoder decoder;
  decoder.Feed(AData, ACount);
  return decoder.Take();
}

}  // namespace Pondar::Net
