#include "net/Protocol.h"

#include <bit>
#include <algorithm>
#include <cstring>

namespace Pondar::Net {


void PutLe16(uint8_t* ADst, uint16_t AValue) {
  ADst[0] = static_cast<uint8_t>(AValue);
  ADst[1] = static_cast<uint8_t>(AValue >> 8);
}
void PutLe32(uint8_t* ADst, uint32_t AValue) {
  for (int i = 0; i < 4; ++i) ADst[i] = static_cast<uint8_t>(AValue >> (8 * i));
}
void PutLe64(uint8_t* ADst, uint64_t AValue) {
  for (int i = 0; i < 8; ++i) ADst[i] = static_cast<uint8_t>(AValue >> (8 * i));
}
uint16_t GetLe16(const uint8_t* ASrc) { return static_cast<uint16_t>(ASrc[0] | (ASrc[1] << 8)); }
uint32_t GetLe32(const uint8_t* ASrc) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | ASrc[i];
  return v;
}
uint64_t GetLe64(const uint8_t* ASrc) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | ASrc[i];
  return v;
}

namespace {
constexpr uint8_t Magic[4] = {'P', 'N', 'D', 'R'};

void PutDouble(uint8_t* ADst, double AValue) { PutLe64(ADst, std::bit_cast<uint64_t>(AValue)); }
double GetDouble(const uint8_t* ASrc) { return std::bit_cast<double>(GetLe64(ASrc)); }
}  // namespace

RawUtf8 DiscoveryWireName(const RawUtf8& AName) {
  return AName.size() <= MaxDiscoveryName ? AName : AName.substr(0, MaxDiscoveryName);
}

TBytes BuildDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName) {
  return BuildDiscoveryPacket(AKind, ATcpPort, AName, Core::CurrentUtcTime());
}

TBytes BuildDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName,
                            double AUtcTime) {
  const RawUtf8 name = DiscoveryWireName(AName);
  TBytes out(DiscoveryHeaderSize + name.size());
  std::memcpy(out.data(), Magic, 4);
  out[4] = static_cast<uint8_t>(AKind);
  PutDouble(&out[5], AUtcTime);
  PutLe16(&out[13], ATcpPort);
  out[15] = static_cast<uint8_t>(name.size());
  std::memcpy(out.data() + DiscoveryHeaderSize, name.data(), name.size());
  return out;
}

bool ParseDiscoveryPacket(const uint8_t* AData, size_t ACount, TDiscoveryPacket& AOut) {
  AOut.Name.clear();
  if (ACount < DiscoveryHeaderSize) return false;
  if (std::memcmp(AData, Magic, 4) != 0) return false;
  const uint8_t kind = AData[4];
  if (kind < 1 || kind > 3) return false;
  const size_t nameLen = AData[15];
  if (ACount < DiscoveryHeaderSize + nameLen) return false;
  AOut.Kind = static_cast<TDiscoveryKind>(kind);
  AOut.UtcTime = GetDouble(AData + 5);
  AOut.TcpPort = GetLe16(AData + 13);
  AOut.Name.assign(reinterpret_cast<const char*>(AData + DiscoveryHeaderSize), nameLen);
  return true;
}

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
    PutDouble(p + 8, e.ModifiedUtc);
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
    e.ModifiedUtc = GetDouble(data + pos + 8);
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
