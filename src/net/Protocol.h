// What every peer agrees on: the TCP message types and their limits, the time limits, and the
// file-list encoding. The messages themselves are read and written in net/Messages.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/Types.h"
#include "net/Stream.h"

namespace Pondar::Net {

using Core::RawUtf8;
using Core::TBytes;
using Core::TFileEntries;

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

}  // namespace Pondar::Net
