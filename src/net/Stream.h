// The byte streams every message of the protocol is read from and written to: a connection is
// one, a buffer in memory (a datagram, a test, a fuzzer's input) is another, so the codec is the
// same code whatever carries the bytes. Also the little-endian field access of every codec: all
// integers on the wire are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Types.h"

namespace Pondar::Net {

using Core::RawUtf8;
using Core::TBytes;

void PutLe16(uint8_t* ADst, uint16_t AValue);
void PutLe32(uint8_t* ADst, uint32_t AValue);
void PutLe64(uint8_t* ADst, uint64_t AValue);
uint16_t GetLe16(const uint8_t* ASrc);
uint32_t GetLe32(const uint8_t* ASrc);
uint64_t GetLe64(const uint8_t* ASrc);
// A double as its IEEE-754 bits, little-endian, as the day counts travel.
void PutLeDouble(uint8_t* ADst, double AValue);
double GetLeDouble(const uint8_t* ASrc);

// Where a reader takes its bytes from. Every read takes exactly what it asks for or fails; after
// a failure the stream is of no further use (what was taken of the failed read is lost). Whether
// a read blocks, and for how long, is the stream's business (see TConnection). Never throws.
class TInStream {
 public:
  virtual ~TInStream() = default;

  // Exactly ACount bytes into ABuffer; false when the stream ends or fails first.
  virtual bool Read(void* ABuffer, size_t ACount) = 0;

  bool ReadU8(uint8_t& AOut) { return Read(&AOut, 1); }
  bool ReadLe16(uint16_t& AOut);
  bool ReadLe32(uint32_t& AOut);
  bool ReadLe64(uint64_t& AOut);
  bool ReadDouble(double& AOut);
  // Exactly ACount bytes into AOut, replacing its content. The buffer grows as the bytes arrive,
  // a step at a time, so a length announced by a peer costs memory only once it is backed by
  // bytes received. On failure AOut is emptied.
  bool ReadBytes(RawUtf8& AOut, size_t ACount);
  bool ReadBytes(TBytes& AOut, size_t ACount);
};

// Where a writer puts its bytes. A stream may hold small writes back (a connection gathers a
// header and a short body into one send): Flush makes everything written so far leave. Every
// message writer flushes at its end. Never throws.
class TOutStream {
 public:
  virtual ~TOutStream() = default;

  // Takes all ACount bytes; false when the stream fails (a connection that breaks, or makes no
  // progress within its time limit). After a failure the stream is of no further use.
  virtual bool Write(const void* AData, size_t ACount) = 0;
  virtual bool Flush() { return true; }
  // Copies ACount bytes read from the file AFileFd at its current offset. False when the file
  // fails or ends first (it shrank while being served) or when the stream fails. Reads and
  // writes blocks of TransferChunk bytes; a stream that can hand the copy to the kernel
  // (sendfile, a kernel TLS socket) does so in its own version.
  virtual bool WriteFromFile(int AFileFd, int64_t ACount);

  bool WriteU8(uint8_t AValue) { return Write(&AValue, 1); }
  bool WriteLe16(uint16_t AValue);
  bool WriteLe32(uint32_t AValue);
  bool WriteLe64(uint64_t AValue);
  bool WriteDouble(double AValue);
};

// Reads a buffer that it does not own and that must outlive it. Running out is a failed read.
class TMemInStream final : public TInStream {
 public:
  TMemInStream(const uint8_t* AData, size_t ACount) : FData(AData), FSize(ACount) {}
  explicit TMemInStream(const TBytes& AData) : TMemInStream(AData.data(), AData.size()) {}

  bool Read(void* ABuffer, size_t ACount) override;
  // Bytes taken so far, and bytes left.
  size_t Position() const { return FPos; }
  size_t Remaining() const { return FSize - FPos; }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

// Gathers everything written in memory; never fails.
class TMemOutStream final : public TOutStream {
 public:
  bool Write(const void* AData, size_t ACount) override;
  const TBytes& Data() const { return FData; }
  TBytes Take() { return std::move(FData); }

 private:
  TBytes FData;
};

}  // namespace Pondar::Net
