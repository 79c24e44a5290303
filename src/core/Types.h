// Records that cross subsystem borders, and the small size and time helpers every part uses.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Pondar::Core {

// Text in records and on the wire is UTF-8 held in a byte string.
using RawUtf8 = std::string;
using TBytes = std::vector<uint8_t>;

// One file of the shared folder.
struct TFileEntry {
  RawUtf8 RelPath;         // relative to the shared folder, "/" between components
  int64_t Size = 0;        // length in bytes
  double ModifiedUtc = 0;  // last-write time as a UTC day count; 0.0 when unreadable
  RawUtf8 Sha256;          // 64 lower-case hex digits, or empty when not computed
  bool operator==(const TFileEntry&) const = default;
};
using TFileEntries = std::vector<TFileEntry>;

// One peer found on the network.
struct TPeerInfo {
  RawUtf8 Name;              // the key by which peers are told apart
  RawUtf8 IP;                // dotted IPv4 source address of its datagrams
  uint16_t TcpPort = 0;      // port of its TCP server, as announced
  int64_t LastSeenTick = 0;  // monotonic ms tick of its last datagram
  double UtcTime = 0;        // its own clock as a UTC day count, as last announced
  bool operator==(const TPeerInfo&) const = default;
};
using TPeerInfoDynArray = std::vector<TPeerInfo>;

// The kind of a local change. The engine treats the first two alike, so keep the order.
enum class TFileAction : uint8_t { faCreated = 0, faModified = 1, faDeleted = 2, faRenamed = 3 };

// Guards a structure shared between threads. Not re-entrant: code that holds one never takes it
// again, and no code holds two at once.
using TLightLock = std::mutex;

// Milliseconds of the monotonic clock; differences are taken as unsigned.
uint64_t GetTickCount64();
// A replaceable tick source, so that timing rules can be tested without sleeping.
using TTickSource = std::function<uint64_t()>;

// Size for people: "1023 B", "1.5 KB", "1024.0 KB", "2048.0 GB"; always "." as separator.
RawUtf8 FormatSize(int64_t ASize);
// The current local wall-clock time as "hh:nn:ss".
RawUtf8 LocalTimeText();
// Days since 1899-12-30 00:00 UTC, time of day as the fraction.
double CurrentUtcTime();
// Unix milliseconds to that day count, and whole Unix seconds back from it (ties to even).
double UnixMsToDayCount(int64_t AUnixMs);
int64_t DayCountToUnixSeconds(double ADays);
// Rounds to the nearest integer, halves to the even neighbour. AValue must be finite and within
// the range of int64_t: check times that come from peers with IsValidDayCount first.
int64_t RoundHalfEven(double AValue);
// True for a day count a clock or a file system can really give: finite, and from 1899-12-30
// (0.0, also "unreadable") up to the end of the year 9999. Peers may send anything.
bool IsValidDayCount(double ADays);

}  // namespace Pondar::Core
