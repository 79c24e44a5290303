#include "net/Messages.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/RelPath.h"

namespace Pondar::Net {

// ---- discovery datagram ----

namespace {
constexpr uint8_t Magic[4] = {'P', 'N', 'D', 'R'};
constexpr uint8_t KeyedMagic[4] = {'P', 'N', 'D', 'K'};

// The fields after the magic, as both kinds of datagram carry them.
void WriteDiscoveryFields(TMemOutStream& AOut, TDiscoveryKind AKind, uint16_t ATcpPort,
                          const RawUtf8& AName, double AUtcTime) {
  const RawUtf8 name = DiscoveryWireName(AName);
  AOut.WriteU8(static_cast<uint8_t>(AKind));
  AOut.WriteDouble(AUtcTime);
  AOut.WriteLe16(ATcpPort);
  AOut.WriteU8(static_cast<uint8_t>(name.size()));
  AOut.Write(name.data(), name.size());
}

// Reads them; false when they are cut short or the kind is unknown.
bool ReadDiscoveryFields(TMemInStream& AIn, TDiscoveryPacket& AOut) {
  uint8_t kind = 0, nameLen = 0;
  double utcTime = 0;
  uint16_t port = 0;
  if (!AIn.ReadU8(kind) || kind < 1 || kind > 3) return false;
  if (!AIn.ReadDouble(utcTime) || !AIn.ReadLe16(port) || !AIn.ReadU8(nameLen)) return false;
  RawUtf8 name;
  if (!AIn.ReadBytes(name, nameLen)) return false;
  AOut.Kind = static_cast<TDiscoveryKind>(kind);
  AOut.UtcTime = utcTime;
  AOut.TcpPort = port;
  AOut.Name = std::move(name);
  return true;
}

using TTag = std::array<uint8_t, DiscoveryTagSize>;

TTag DatagramTag(const uint8_t* AData, size_t ACount, const TKeyBytes& AKey) {
  std::array<uint8_t, EVP_MAX_MD_SIZE> mac{};
  unsigned int macSize = 0;
  TTag tag{};
  // HMAC of a few hundred bytes with a valid key fails only for want of memory; a tag of zeros
  // then matches nothing, as no tag of a real key is ever all zeros in practice.
  if (HMAC(EVP_sha256(), AKey.data(), static_cast<int>(AKey.size()), AData, ACount, mac.data(),
           &macSize) != nullptr &&
      macSize >= tag.size())
    std::memcpy(tag.data(), mac.data(), tag.size());
  return tag;
}
}  // namespace

RawUtf8 DiscoveryWireName(const RawUtf8& AName) {
  return AName.size() <= MaxDiscoveryName ? AName : AName.substr(0, MaxDiscoveryName);
}

TBytes BuildDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName) {
  return BuildDiscoveryPacket(AKind, ATcpPort, AName, Core::CurrentUtcTime());
}

TBytes BuildDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName,
                            double AUtcTime) {
  TMemOutStream out;
  out.Write(Magic, sizeof Magic);
  WriteDiscoveryFields(out, AKind, ATcpPort, AName, AUtcTime);
  return out.Take();
}

bool ParseDiscoveryPacket(const uint8_t* AData, size_t ACount, TDiscoveryPacket& AOut) {
  AOut.Name.clear();
  TMemInStream in(AData, ACount);
  uint8_t magic[4];
  if (!in.Read(magic, sizeof magic) || std::memcmp(magic, Magic, sizeof Magic) != 0) return false;
  return ReadDiscoveryFields(in, AOut);
}

TBytes BuildKeyedDiscoveryPacket(TDiscoveryKind AKind, uint16_t ATcpPort, const RawUtf8& AName,
                                 double AUtcTime, const TKeyBytes& AKey) {
  TMemOutStream out;
  out.Write(KeyedMagic, sizeof KeyedMagic);
  WriteDiscoveryFields(out, AKind, ATcpPort, AName, AUtcTime);
  TBytes packet = out.Take();
  const TTag tag = DatagramTag(packet.data(), packet.size(), AKey);
  packet.insert(packet.end(), tag.begin(), tag.end());
  return packet;
}

TKeyedDatagram ParseKeyedDiscoveryPacket(const uint8_t* AData, size_t ACount, const TKeyBytes& AKey,
                                         TDiscoveryPacket& AOut) {
  AOut.Name.clear();
  TDiscoveryPacket plain;
  if (ParseDiscoveryPacket(AData, ACount, plain)) return TKeyedDatagram::Foreign;
  if (ACount < sizeof KeyedMagic + DiscoveryTagSize ||
      std::memcmp(AData, KeyedMagic, sizeof KeyedMagic) != 0)
    return TKeyedDatagram::Invalid;
  const size_t signedSize = ACount - DiscoveryTagSize;
  TMemInStream in(AData + sizeof KeyedMagic, signedSize - sizeof KeyedMagic);
  TDiscoveryPacket packet;
  if (!ReadDiscoveryFields(in, packet) || in.Remaining() != 0) return TKeyedDatagram::Invalid;
  const TTag tag = DatagramTag(AData, signedSize, AKey);
  if (CRYPTO_memcmp(tag.data(), AData + signedSize, tag.size()) != 0)
    return TKeyedDatagram::Foreign;
  AOut = std::move(packet);
  return TKeyedDatagram::Valid;
}

// ---- TCP requests ----

std::optional<TMessageType> MessageTypeOf(uint8_t AByte) {
  if (AByte < static_cast<uint8_t>(TMessageType::mtFileList) ||
      AByte > static_cast<uint8_t>(TMessageType::mtScreenFrame))
    return std::nullopt;
  return static_cast<TMessageType>(AByte);
}

namespace {

bool WriteType(TOutStream& AOut, TMessageType AType) {
  return AOut.WriteU8(static_cast<uint8_t>(AType));
}

// Types 2 and 3 carry a path the same way.
bool WritePathMessage(TOutStream& AOut, TMessageType AType, const RawUtf8& APath) {
  const auto len = static_cast<uint16_t>(APath.size());
  return WriteType(AOut, AType) && AOut.WriteLe16(len) && AOut.Write(APath.data(), len) &&
         AOut.Flush();
}

std::optional<RawUtf8> ReadPathBody(TInStream& AIn, bool AEmptyIsFolder) {
  uint16_t len = 0;
  if (!AIn.ReadLe16(len) || len > MaxRequestPath) return std::nullopt;
  if (len == 0 && AEmptyIsFolder) return RawUtf8();
  RawUtf8 path, normalized;
  if (!AIn.ReadBytes(path, len)) return std::nullopt;
  // The same rule as for every path a peer sends: nothing outside the shared folder.
  if (!Core::NormalizeRelPath(path, normalized)) return std::nullopt;
  return normalized;
}

// A file list is read in pieces of this size: a large share's reply is as large as its list.
constexpr size_t FileListPiece = size_t{256} * 1024;

}  // namespace

bool WriteFileListRequest(TOutStream& AOut) {
  return WriteType(AOut, TMessageType::mtFileList) && AOut.Flush();
}

bool WriteFileListReply(TOutStream& AOut, const TBytes& AEncoded) {
  return AOut.WriteLe32(static_cast<uint32_t>(AEncoded.size())) &&
         AOut.Write(AEncoded.data(), AEncoded.size()) && AOut.Flush();
}

std::optional<TFileEntries> ReadFileListReply(TInStream& AIn) {
  uint32_t len = 0;
  if (!AIn.ReadLe32(len) || len == 0 || len > MaxFileListBytes) return std::nullopt;
  TFileListDecoder decoder;
  TBytes piece(std::min<size_t>(len, FileListPiece));
  for (size_t left = len; left > 0;) {
    const size_t n = std::min(left, piece.size());
    if (!AIn.Read(piece.data(), n)) return std::nullopt;
    decoder.Feed(piece.data(), n);
    left -= n;
  }
  return decoder.Take();
}

bool WriteGetFileRequest(TOutStream& AOut, const RawUtf8& ARelPath) {
  return WritePathMessage(AOut, TMessageType::mtGetFile, ARelPath);
}

std::optional<RawUtf8> ReadGetFileRequest(TInStream& AIn) {
  return ReadPathBody(AIn, true);
}

bool WriteFileReply(TOutStream& AOut, int AFileFd, int64_t ASize) {
  if (!AOut.WriteLe64(static_cast<uint64_t>(ASize))) return false;
  if (!AOut.WriteFromFile(AFileFd, ASize)) {
    AOut.Flush();  // what was read before the file failed still goes: the body is just short
    return false;
  }
  return AOut.Flush();
}

bool WriteMissingFileReply(TOutStream& AOut) {
  return AOut.WriteLe64(static_cast<uint64_t>(int64_t{-1})) && AOut.Flush();
}

std::optional<int64_t> ReadFileReplySize(TInStream& AIn) {
  uint64_t size = 0;
  if (!AIn.ReadLe64(size)) return std::nullopt;
  return static_cast<int64_t>(size);
}

bool WriteDeleteNotify(TOutStream& AOut, const RawUtf8& ARelPath) {
  return WritePathMessage(AOut, TMessageType::mtDeleteNotify, ARelPath);
}

std::optional<RawUtf8> ReadDeleteNotify(TInStream& AIn) {
  return ReadPathBody(AIn, false);
}

bool WriteChangesNotify(TOutStream& AOut) {
  return WriteType(AOut, TMessageType::mtChangesNotify) && AOut.Flush();
}

bool WriteClipboardText(TOutStream& AOut, const RawUtf8& AText) {
  const auto len = static_cast<uint32_t>(AText.size());
  return WriteType(AOut, TMessageType::mtClipboard) && AOut.WriteLe32(len) &&
         AOut.Write(AText.data(), len) && AOut.Flush();
}

std::optional<RawUtf8> ReadClipboardText(TInStream& AIn) {
  uint32_t len = 0;
  if (!AIn.ReadLe32(len) || len > MaxClipboardBytes) return std::nullopt;
  RawUtf8 text;
  if (!AIn.ReadBytes(text, len)) return std::nullopt;
  return text;
}

bool WriteScreenFrame(TOutStream& AOut, const RawUtf8& APeerName, const TBytes& AData) {
  const auto nameLen = static_cast<uint16_t>(APeerName.size());
  const auto payloadLen = static_cast<uint32_t>(AData.size());
  return WriteType(AOut, TMessageType::mtScreenFrame) && AOut.WriteLe16(nameLen) &&
         AOut.Write(APeerName.data(), nameLen) && AOut.WriteLe32(payloadLen) &&
         AOut.Write(AData.data(), payloadLen) && AOut.Flush();
}

std::optional<TScreenFrameMessage> ReadScreenFrame(TInStream& AIn) {
  TScreenFrameMessage frame;
  uint16_t nameLen = 0;
  uint32_t payloadLen = 0;
  if (!AIn.ReadLe16(nameLen) || nameLen > MaxFrameName) return std::nullopt;
  if (!AIn.ReadBytes(frame.PeerName, nameLen)) return std::nullopt;
  if (!AIn.ReadLe32(payloadLen) || payloadLen > MaxFramePayload) return std::nullopt;
  if (!AIn.ReadBytes(frame.Data, payloadLen)) return std::nullopt;
  return frame;
}

}  // namespace Pondar::Net
