#include "net/Stream.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

#include "net/Protocol.h"

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
void PutLeDouble(uint8_t* ADst, double AValue) { PutLe64(ADst, std::bit_cast<uint64_t>(AValue)); }
double GetLeDouble(const uint8_t* ASrc) { return std::bit_cast<double>(GetLe64(ASrc)); }

// ---- TInStream ----

bool TInStream::ReadLe16(uint16_t& AOut) {
  uint8_t b[2];
  if (!Read(b, sizeof b)) return false;
  AOut = GetLe16(b);
  return true;
}

bool TInStream::ReadLe32(uint32_t& AOut) {
  uint8_t b[4];
  if (!Read(b, sizeof b)) return false;
  AOut = GetLe32(b);
  return true;
}

bool TInStream::ReadLe64(uint64_t& AOut) {
  uint8_t b[8];
  if (!Read(b, sizeof b)) return false;
  AOut = GetLe64(b);
  return true;
}

bool TInStream::ReadDouble(double& AOut) {
  uint8_t b[8];
  if (!Read(b, sizeof b)) return false;
  AOut = GetLeDouble(b);
  return true;
}

namespace {

template <class TBuffer>
bool ReadGrowing(TInStream& AIn, TBuffer& AOut, size_t ACount) {
  constexpr size_t Step = size_t{1} << 20;
  AOut.clear();
  while (AOut.size() < ACount) {
    const size_t have = AOut.size();
    const size_t take = std::min(Step, ACount - have);
    AOut.resize(have + take);
    if (!AIn.Read(AOut.data() + have, take)) {
      AOut.clear();
      return false;
    }
  }
  return true;
}

}  // namespace

bool TInStream::ReadBytes(RawUtf8& AOut, size_t ACount) { return ReadGrowing(*this, AOut, ACount); }
bool TInStream::ReadBytes(TBytes& AOut, size_t ACount) { return ReadGrowing(*this, AOut, ACount); }

// ---- TOutStream ----

bool TOutStream::WriteLe16(uint16_t AValue) {
  uint8_t b[2];
  PutLe16(b, AValue);
  return Write(b, sizeof b);
}

bool TOutStream::WriteLe32(uint32_t AValue) {
  uint8_t b[4];
  PutLe32(b, AValue);
  return Write(b, sizeof b);
}

bool TOutStream::WriteLe64(uint64_t AValue) {
  uint8_t b[8];
  PutLe64(b, AValue);
  return Write(b, sizeof b);
}

bool TOutStream::WriteDouble(double AValue) {
  uint8_t b[8];
  PutLeDouble(b, AValue);
  return Write(b, sizeof b);
}

bool TOutStream::WriteFromFile(int AFileFd, int64_t ACount) {
  // One buffer per copy: memory use does not grow with the file size.
  const auto buffer = std::make_unique<uint8_t[]>(TransferChunk);
  int64_t remaining = ACount;
  while (remaining > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(remaining, TransferChunk));
    size_t got = 0;
    while (got < want) {
      const ssize_t n = ::read(AFileFd, buffer.get() + got, want - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // a read error, or the file shrank
      got += static_cast<size_t>(n);
    }
    if (!Write(buffer.get(), want)) return false;
    remaining -= static_cast<int64_t>(want);
  }
  return true;
}

// ---- memory streams ----

bool TMemInStream::Read(void* ABuffer, size_t ACount) {
  if (ACount > FSize - FPos) {
    FPos = FSize;
    return false;
  }
  if (ACount > 0) std::memcpy(ABuffer, FData + FPos, ACount);
  FPos += ACount;
  return true;
}

bool TMemOutStream::Write(const void* AData, size_t ACount) {
  const auto* p = static_cast<const uint8_t*>(AData);
  FData.insert(FData.end(), p, p + ACount);
  return true;
}

}  // namespace Pondar::Net
