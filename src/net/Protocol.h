// Byte layouts shared with every other peer: the discovery datagram, the TCP message types and
// their limits, and the file-list encoding. All integers on the wire are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/Types.h"

namespace Pondar::Net {

using Core::RawUtf8;
using Core::TBytes;
using Core::TFileEntries;

// ---- Discovery datagram: "PNDR", kind, UTC day count (double at offset 5), TCP port, name ----

enum class TDiscoveryKind : uint8_t { dkAnnounce = 1, dkReply = 2, dkGoodbye = 3 };

inline constexpr size_t DiscoveryHeaderSize = 16;
inline constexpr size_t MaxDiscoveryName = 255;

struct TDiscoveryPacket {
  TDiscoveryKind Kind = TDiscoveryKind::dkAnnounce;
  double UtcTime = 0;
  uint16_t TcpPort = 0;
  RawUtf8 Name;
};

// The name as it travels: its first 255 bytes, all the one-byte length can carry.
RawUtf8 DiscoveryWireName(const RawUtf8& AName);
// The datagram for AKind, stamped with CurrentUtcTime at the moment of building.
TBytes BuildDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName);
// The same with the clock reading given, for callers that need exact bytes.
TBytes BuildDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName,
                            double AUtcTime);
// True when the bytes form a valid datagram (length, magic, kind, name inside); fills AOut then.
// On failure AOut.Name is empty. Bytes after the name are ignored.
bool ParseDiscoveryPacket(const uint8_t* AData, size_t ACount, TDiscoveryPacket& AOut);

// ---- TCP messages: one per connection, opened by a type byte ----

enum class TMessageType : uint8_t {
  mtFileList = 1,
  mtGetFile = 2,
  mtDeleteNotify = 3,
  mtChangesNotify = 4,
  mtClipboard = 5,
  mtScreenFrame = 6,
};

inline constexpr uint32_t MaxFileListBytes = 104857600;  // type 1 reply length
inline constexpr uint16_t MaxRequestPath = 4096;          // types 2 and 3
inline constexpr uint32_t MaxClipboardBytes = 104857600;  // type 5
inline constexpr uint16_t MaxFrameName = 256;             // type 6
inline constexpr uint32_t MaxFramePayload = 52428800;     // type 6
inline constexpr size_t TransferChunk = 65536;            // file content moves in these blocks
inline constexpr int ConnectTimeoutMs = 5000;
inline constexpr int RequesterTimeoutMs = 5000;
inline constexpr int ServerTimeoutMs = 30000;

// ---- File list: count, then per entry path length, path, size, time, 64-byte hash block ----

inline constexpr size_t FileRecordFixedBytes = 82;  // a record is 82 + path bytes
inline constexpr size_t HashFieldBytes = 64;

TBytes EncodeFileList(const TFileEntries& AEntries);
// Decodes a list that arrives in pieces, so that the whole reply need not be held beside the
// entries made of it: Feed each piece in order, then Take.
class TFileListDecoder {
 public:
  void Feed(const uint8_t* AData, size_t ACount);
  // The entries of every whole record fed, never more than the count says.
  TFileEntries Take() { return std::move(FEntries); }

 private:
  TBytes FPending;  // the bytes of a record (or of the count) not yet whole
  bool FHaveCount = false;
  uint32_t FCount = 0;
  TFileEntries FEntries;
};
// Decodes as many whole records as the bytes hold, never more than the count says.
TFileEntries DecodeFileList(const uint8_t* AData, size_t ACount);
inline TFileEntries DecodeFileList(const TBytes& AData) {
  return DecodeFileList(AData.data(), AData.size());
}

// Little-endian field access shared by the codecs and the TCP code.
void PutLe16(uint8_t* ADst, uint16_t AValue);
void PutLe32(uint8_t* ADst, uint32_t AValue);
void PutLe64(uint8_t* ADst, uint64_t AValue);
uint16_t GetLe16(const uint8_t* ASrc);
uint32_t GetLe32(const uint8_t* ASrc);
uint64_t GetLe64(const uint8_t* ASrc);

}  // namespace Pondar::Net
