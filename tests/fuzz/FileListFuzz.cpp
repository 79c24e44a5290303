// Fuzz target: a file list as received from a peer, any bytes at all.
//
// The decoded list is checked against the bytes it came from: it never holds more records
// than the bytes can, each record is the bytes at its place, and decoding stops early only
// where the bytes run out. Encoding the list again takes exactly 4 + sum(82 + path bytes) and
// decodes to the same list. Each entry then meets the path rule and the time check the sync
// engine applies before a listed path names a local file. Sent as the reply to a list request,
// behind its length, the same bytes give the same list through the reply's reader.
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "FuzzCheck.h"
#include "core/RelPath.h"
#include "core/Types.h"
#include "net/Messages.h"
#include "net/Protocol.h"

namespace {

using Pondar::Core::RawUtf8;
using Pondar::Core::TBytes;
using Pondar::Core::TFileEntries;
using Pondar::Core::TFileEntry;
using Pondar::Net::DecodeFileList;
using Pondar::Net::EncodeFileList;
using Pondar::Net::FileRecordFixedBytes;
using Pondar::Net::GetLe16;
using Pondar::Net::GetLe32;
using Pondar::Net::GetLe64;
using Pondar::Net::HashFieldBytes;

// Every decoded entry meets the checks the sync engine makes before a listed path names a local
// file. What the path rule accepts must stay inside the shared folder, whatever the peer sent,
// and a time that passes IsValidDayCount must turn into whole seconds without undefined
// behaviour (UBSan watches the conversion).
void CheckPathFromPeer(const TFileEntry& AEntry) {
  RawUtf8 path;
  if (Pondar::Core::NormalizeRelPath(AEntry.RelPath, path)) {
    FUZZ_REQUIRE(path.size() == AEntry.RelPath.size(), "only separators change");
    FUZZ_REQUIRE(
        path.front() != '/' && path.find('\\') == RawUtf8::npos && path.find('\0') == RawUtf8::npos,
        "an accepted path is relative, with \"/\" between components and no NUL");
    const std::string joined = (std::filesystem::path("/share") / path).lexically_normal();
    FUZZ_REQUIRE(joined.rfind("/share/", 0) == 0, "an accepted path stays inside the folder");
    RawUtf8 again;
    FUZZ_REQUIRE(Pondar::Core::NormalizeRelPath(path, again) && again == path,
                 "an accepted path is accepted again unchanged");
  }
  if (Pondar::Core::IsValidDayCount(AEntry.ModifiedUtc))
    (void)Pondar::Core::DayCountToUnixSeconds(AEntry.ModifiedUtc);
}

// The day count by its bits: a NaN from a peer must survive the round trip as it came.
bool SameEntry(const TFileEntry& A, const TFileEntry& B) {
  return A.RelPath == B.RelPath && A.Size == B.Size &&
         std::bit_cast<uint64_t>(A.ModifiedUtc) == std::bit_cast<uint64_t>(B.ModifiedUtc) &&
         A.Sha256 == B.Sha256;
}

bool SameList(const TFileEntries& A, const TFileEntries& B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (!SameEntry(A[i], B[i])) return false;
  return true;
}

// The hash field as the decoder is meant to give it: without blanks and control bytes at
// either end (the zero padding among them).
RawUtf8 TrimmedHash(const uint8_t* AField) {
  size_t first = 0, last = HashFieldBytes;
  while (first < last && AField[first] <= 32) ++first;
  while (last > first && AField[last - 1] <= 32) --last;
  return RawUtf8(reinterpret_cast<const char*>(AField) + first, last - first);
}

// Checks each record against the bytes at its place; returns where the records end.
size_t CheckRecords(const uint8_t* AData, size_t ASize, const TFileEntries& AList) {
  size_t pos = 4;
  for (const TFileEntry& e : AList) {
    FUZZ_REQUIRE(ASize - pos >= FileRecordFixedBytes + e.RelPath.size(),
                 "every record lies whole inside the bytes");
    FUZZ_REQUIRE(GetLe16(AData + pos) == e.RelPath.size(), "the path is as long as its field");
    FUZZ_REQUIRE(std::memcmp(AData + pos + 2, e.RelPath.data(), e.RelPath.size()) == 0,
                 "the path is the bytes that follow its length");
    pos += 2 + e.RelPath.size();
    FUZZ_REQUIRE(static_cast<uint64_t>(e.Size) == GetLe64(AData + pos), "the size is as sent");
    FUZZ_REQUIRE(std::bit_cast<uint64_t>(e.ModifiedUtc) == GetLe64(AData + pos + 8),
                 "the time is as sent");
    FUZZ_REQUIRE(e.Sha256 == TrimmedHash(AData + pos + 16), "the hash is the trimmed field");
    pos += 16 + HashFieldBytes;
  }
  return pos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const TFileEntries list = DecodeFileList(AData, ASize);
  if (ASize < 4) {
    FUZZ_REQUIRE(list.empty(), "bytes shorter than the count hold no record");
    return 0;
  }

  const uint32_t count = GetLe32(AData);
  FUZZ_REQUIRE(list.size() <= count, "never more records than the count says");
  FUZZ_REQUIRE(list.size() <= (ASize - 4) / FileRecordFixedBytes,
               "never more records than the bytes can hold");
  const size_t end = CheckRecords(AData, ASize, list);
  if (list.size() < count) {
    // Stopped early: what is left cannot be another whole record.
    const size_t left = ASize - end;
    FUZZ_REQUIRE(left < 2 || left < FileRecordFixedBytes + GetLe16(AData + end),
                 "decoding stops early only where the bytes run out");
  }

  for (const TFileEntry& e : list) CheckPathFromPeer(e);

  const TBytes encoded = EncodeFileList(list);
  size_t expectedSize = 4;
  for (const TFileEntry& e : list) expectedSize += FileRecordFixedBytes + e.RelPath.size();
  FUZZ_REQUIRE(encoded.size() == expectedSize, "an encoded list is 4 + sum(82 + path bytes)");
  FUZZ_REQUIRE(GetLe32(encoded.data()) == list.size(), "the count is the number of records");
  FUZZ_REQUIRE(SameList(DecodeFileList(encoded), list), "encoding and decoding give the list back");

  if (ASize > Pondar::Net::MaxFileListBytes) return 0;  // a reply refused for its length
  TBytes reply(4);
  Pondar::Net::PutLe32(reply.data(), static_cast<uint32_t>(ASize));
  reply.insert(reply.end(), AData, AData + ASize);
  Pondar::Net::TMemInStream in(reply);
  const auto read = Pondar::Net::ReadFileListReply(in);
  FUZZ_REQUIRE(read && SameList(*read, list), "the reply's reader gives the list the bytes hold");
  return 0;
}
