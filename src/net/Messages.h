// Every message peers exchange, each with its one writer and its one reader side by side: the
// discovery datagram, and the TCP requests of types 1 to 6 with their replies. They work on the
// byte streams of net/Stream.h, so the same code runs over a connection and over memory.
//
// A TCP request is one connection: its type byte, a body, and for types 1 and 2 a reply. The
// writers of requests write the type byte and the body; the readers of requests start after the
// type byte, which the server has read to choose the reader. Every writer flushes at its end.
// Readers check each length a peer announces against its limit before anything of it is read
// or allocated, and take the bytes as they arrive. A reader that fails has read an unknown part
// of the message: the connection is then closed without an answer. No function here throws
// except for want of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/Types.h"
#include "net/NetworkKey.h"
#include "net/Protocol.h"
#include "net/Stream.h"

namespace Pondar::Net {

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
// The writer, with the clock reading given, for callers that need exact bytes.
TBytes BuildDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName,
                            double AUtcTime);
// The reader. True when the bytes form a valid datagram (length, magic, kind, name inside);
// fills AOut then. On failure AOut.Name is empty. Bytes after the name are ignored.
bool ParseDiscoveryPacket(const uint8_t* AData, size_t ACount, TDiscoveryPacket& AOut);

// ---- Keyed discovery datagram: "PNDK", the same fields, then a 16-byte tag ----
//
// Peers with a network key send only these. The magic differs, so that a peer without the key
// drops them as it drops any unknown datagram; the tag is the first 16 bytes of
// HMAC-SHA256(the key's Datagram part, every byte before the tag), so that only a holder of
// the key can make one. The clock reading inside is covered by the tag: the receiver refuses a
// reading too far from its own, which makes a recorded datagram useless soon after.

inline constexpr size_t DiscoveryTagSize = 16;

TBytes BuildKeyedDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName,
                                 double AUtcTime, const TKeyBytes& AKey);

enum class TKeyedDatagram {
  Valid,    // a keyed datagram whose tag AKey made; AOut is filled
  Foreign,  // a datagram of a peer with no key (plain magic) or another key (tag fails)
  Invalid,  // neither: too short, an unknown magic, a bad kind, bytes after the tag
};
// The reader. The tag is compared in constant time; AOut is filled only for Valid (on anything
// else AOut.Name is empty). Unlike the plain reader it takes no bytes after the tag.
TKeyedDatagram ParseKeyedDiscoveryPacket(const uint8_t* AData, size_t ACount, const TKeyBytes& AKey,
                                         TDiscoveryPacket& AOut);

// ---- TCP requests ----

// The type a request's first byte names; nullopt for a byte that names none.
std::optional<TMessageType> MessageTypeOf(uint8_t AByte);

// Type 1, the file list: the type byte alone. Its reply: a 32-bit length, then the list encoded
// as EncodeFileList does (AEncoded).
bool WriteFileListRequest(TOutStream& AOut);
bool WriteFileListReply(TOutStream& AOut, const TBytes& AEncoded);
// The entries; nullopt when the length is 0 or over MaxFileListBytes (nothing after it is
// read) or the list is cut short. The list is decoded piece by piece as it arrives, never held
// whole beside its entries.
std::optional<TFileEntries> ReadFileListReply(TInStream& AIn);

// Type 2, one file: a 16-bit length and the relative path. A path longer than the field keeps
// the low 16 bits of its length and that many bytes, so the framing stays whole (the reader
// refuses it anyway).
bool WriteGetFileRequest(TOutStream& AOut, const RawUtf8& ARelPath);
// The path in our form ("/" between components); nullopt when it is longer than MaxRequestPath
// (refused before a byte of it is read), cut short, or refused by NormalizeRelPath. The empty
// path names the shared folder itself, and comes back empty: a folder, which has no content.
std::optional<RawUtf8> ReadGetFileRequest(TInStream& AIn);
// The reply: the size as a signed 64-bit number, then the content; -1 alone for a file that is
// not there. WriteFileReply copies ASize bytes from AFileFd (at its offset); false when the file
// or the stream fails, and the requester then sees a short body.
bool WriteFileReply(TOutStream& AOut, int AFileFd, int64_t ASize);
bool WriteMissingFileReply(TOutStream& AOut);
// The size (negative: the peer has no such file); the content follows on the stream, read by the
// caller block by block. nullopt when the size cannot be read.
std::optional<int64_t> ReadFileReplySize(TInStream& AIn);

// Type 3, a delete notice: the path as type 2 carries it. No reply.
bool WriteDeleteNotify(TOutStream& AOut, const RawUtf8& ARelPath);
std::optional<RawUtf8> ReadDeleteNotify(TInStream& AIn);

// Type 4, "my list changed": the type byte is the whole message, so there is no reader: the
// server has what it needs once it has read the type byte. No reply.
bool WriteChangesNotify(TOutStream& AOut);

// Type 5, clipboard text: a 32-bit length and the text (its low 32 bits of length, as the type 2
// path does). The four length bytes always go, also for an empty text. No reply.
bool WriteClipboardText(TOutStream& AOut, const RawUtf8& AText);
// The text, possibly empty; nullopt when it is longer than MaxClipboardBytes (refused unread) or
// cut short.
std::optional<RawUtf8> ReadClipboardText(TInStream& AIn);

// Type 6, a screen frame: a 16-bit name length, the sender's name, a 32-bit payload length and
// the payload (the encoded frame). No reply.
struct TScreenFrameMessage {
  RawUtf8 PeerName;
  TBytes Data;
};
bool WriteScreenFrame(TOutStream& AOut, const RawUtf8& APeerName, const TBytes& AData);
// The frame, possibly empty; nullopt when the name is longer than MaxFrameName or the payload
// larger than MaxFramePayload (each refused before it is read), or the message is cut short.
std::optional<TScreenFrameMessage> ReadScreenFrame(TInStream& AIn);

}  // namespace Pondar::Net
