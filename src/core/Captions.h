// Log-line templates and the rule that fills their "%" placeholders.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <variant>

#include "core/Types.h"

namespace Pondar::Core {

// Each caption opens with its symbol; every "%" takes the next argument.
namespace Captions {
inline constexpr std::string_view PeerFound = "\u25CF % (%)";  // ● name, IP
inline constexpr std::string_view PeerLost = "\u25CB %";       // ○ name
inline constexpr std::string_view SyncBegins = "\u21C4 %...";  // ⇄ name
inline constexpr std::string_view SyncDone = "\u2713 % received, % sent";
inline constexpr std::string_view UpToDate = "\u2713 Up to date";
inline constexpr std::string_view LocalChange = "\u25B3 %";            // △ path
inline constexpr std::string_view LocalDelete = "\u2715 %";            // ✕ path
inline constexpr std::string_view Downloaded = "  \u2193 % (%)";       // ↓ path (size)
inline constexpr std::string_view RemoteDeleteApplied = "  \u2715 %";  // ✕ path
inline constexpr std::string_view Scanning = "\u2026 Scanning...";
inline constexpr std::string_view FilesCount = "\u25AA % files";
inline constexpr std::string_view Ready = "\u25B6 Ready";
inline constexpr std::string_view NetworkKeyOn =
    "Network key on: only peers with the same key are seen";
// Reports, which the engine's Warn opens with "⚠".
inline constexpr std::string_view NetworkKeyUnusable =
    "Network key refused (%): this peer stays off the network until it is mended";
// Datagrams from an address that holds no key, or another one (at most once a minute each).
inline constexpr std::string_view OtherNetworkKey = "% has no or another network key: ignored";
inline constexpr std::string_view KeyedClockOff =
    "% has our network key but a clock % s from ours: ignored (a replayed datagram, or a clock "
    "to set)";
inline constexpr std::string_view ScreenBroadcastStarted = "Screen broadcast started";
inline constexpr std::string_view ClipboardSent = "\u21C4 Clipboard sent (% bytes)";
inline constexpr std::string_view ClipboardReceived = "\u21C4 Clipboard received (% bytes)";
inline constexpr std::string_view ClipboardNotApplied =
    "\u26A0 Clipboard received (% bytes) but not applied: the clipboard cannot be reached";
inline constexpr std::string_view ClipboardRefused =
    "\u26A0 Clipboard received (% bytes) but refused: not plain UTF-8 text";
inline constexpr std::string_view ClockDrift = "\u26A0 % - clock drift %s exceeds %s limit";
// What went wrong, where the user would otherwise see success or nothing at all.
inline constexpr std::string_view ClockUnreadable = "\u26A0 % - clock reading is not a valid time";
inline constexpr std::string_view PeerUnreachable = "\u26A0 % - unreachable";
inline constexpr std::string_view FilesNotReceived = "\u26A0 % - % files not received";
inline constexpr std::string_view SyncStopped = "\u26A0 % - sync stopped: %";
inline constexpr std::string_view Problem = "\u26A0 %";  // a worker's report, as it wrote it
// The frame of every log line: local time, a blank, the message.
inline constexpr std::string_view LogLine = "[%] %";
}  // namespace Captions

// One argument of a caption: a text, or an integer written as plain decimal digits.
using TCaptionArg = std::variant<std::string_view, int64_t>;

// The most arguments a caption may be filled with; more is a programming error.
inline constexpr size_t MaxCaptionArgs = 31;

// AText as it may stand in a log line: valid UTF-8 is kept, symbols and letters of any script
// included, but every control character (C0, DEL, C1) and every character that breaks or
// reorders a line (U+2028, U+2029, the bidirectional marks, embeddings, overrides and isolates)
// is written as "\xNN" (below U+0080) or "\uNNNN", and every byte that is not part of valid
// UTF-8 as "\xNN". Names and paths come from peers: escaped, they can neither start a line of
// their own nor drive the terminal that shows a headless peer's log. Meant for reading, not to
// be decoded back: a backslash is kept as it is.
RawUtf8 EscapeForLog(std::string_view AText);

// Fills ACaption left to right, each text argument escaped (EscapeForLog), the caption itself
// as it is. With no arguments the caption comes back unchanged; a "%" met after the arguments
// are used up is dropped; surplus arguments are ignored.
// Throws std::invalid_argument when given more than MaxCaptionArgs arguments.
RawUtf8 FormatCaption(std::string_view ACaption, std::initializer_list<TCaptionArg> AArgs = {});

}  // namespace Pondar::Core
