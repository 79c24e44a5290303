// Byte layouts shared with other peers: the discovery datagram and the file-list encoding,
// checked against bytes written out by hand.
#include "net/Protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using namespace Pondar::Net;
using Pondar::Core::CurrentUtcTime;
using Pondar::Core::TFileEntry;
using PondarTest::B;

// 45000.5 and 45000.25 as little-endian IEEE-754 doubles.
const TBytes kDay45000_5 = B({0x00, 0x00, 0x00, 0x00, 0x10, 0xF9, 0xE5, 0x40});
const TBytes kDay45000_25 = B({0x00, 0x00, 0x00, 0x00, 0x08, 0xF9, 0xE5, 0x40});

// A well-formed datagram: kind 1, day 45000.5, port 7732, name "wren".
TBytes WrenDatagram() {
  TBytes d = B({0x50, 0x4E, 0x44, 0x52, 0x01});
  d += kDay45000_5;
  d += B({0x34, 0x1E, 0x04});
  d += std::string("wren");
  return d;
}

bool Parse(const TBytes& AData, TDiscoveryPacket& AOut) {
  return ParseDiscoveryPacket(AData.data(), AData.size(), AOut);
}

// ---- Discovery datagram ----

TEST(DiscoveryPacketTest, Build_ExactBytes) {
  TBytes expected = B({0x50, 0x4E, 0x44, 0x52, 0x02});
  expected += kDay45000_5;
  expected += B({0x34, 0x1E, 0x04, 'w', 'r', 'e', 'n'});
  EXPECT_EQ(BuildDiscoveryPacket(TDiscoveryKind::dkReply, 7732, "wren", 45000.5), expected);
}

TEST(DiscoveryPacketTest, Build_EveryKindSameLayout) {
  for (const auto kind : {TDiscoveryKind::dkAnnounce, TDiscoveryKind::dkReply,
                          TDiscoveryKind::dkGoodbye}) {
    TBytes expected = B({0x50, 0x4E, 0x44, 0x52, static_cast<int>(kind)});
    expected += kDay45000_25;
    expected += B({0xFF, 0xFF, 0x00});
    EXPECT_EQ(BuildDiscoveryPacket(kind, 65535, "", 45000.25), expected);
  }
}

TEST(DiscoveryPacketTest, Build_StampsCurrentClock) {
  const double before = CurrentUtcTime();
  const TBytes d = BuildDiscoveryPacket(TDiscoveryKind::dkAnnounce, 1, "x");
  const double after = CurrentUtcTime();
  TDiscoveryPacket p;
  ASSERT_TRUE(Parse(d, p));
  EXPECT_GE(p.UtcTime, before);
  EXPECT_LE(p.UtcTime, after);
}

TEST(DiscoveryPacketTest, Build_NameOver255Bytes_FirstBytesCarried) {
  std::string name;
  for (int i = 0; i < 300; ++i) name += static_cast<char>('a' + i % 26);
  const TBytes d = BuildDiscoveryPacket(TDiscoveryKind::dkAnnounce, 7732, name, 45000.5);
  ASSERT_EQ(d.size(), 16u + 255u);
  EXPECT_EQ(d[15], 0xFF);
  EXPECT_EQ(std::string(d.begin() + 16, d.end()), name.substr(0, 255));
  EXPECT_EQ(DiscoveryWireName(name), name.substr(0, 255));
  EXPECT_EQ(DiscoveryWireName(name.substr(0, 255)), name.substr(0, 255));
}

TEST(DiscoveryPacketTest, Parse_HandMadeDatagram_Fields) {
  TDiscoveryPacket p;
  ASSERT_TRUE(Parse(WrenDatagram(), p));
  EXPECT_EQ(p.Kind, TDiscoveryKind::dkAnnounce);
  EXPECT_EQ(p.UtcTime, 45000.5);
  EXPECT_EQ(p.TcpPort, 7732);
  EXPECT_EQ(p.Name, "wren");
}

TEST(DiscoveryPacketTest, Parse_FifteenBytes_Rejected) {
  const TBytes d = WrenDatagram();
  TDiscoveryPacket p;
  p.Name = "stale";
  EXPECT_FALSE(ParseDiscoveryPacket(d.data(), 15, p));
  EXPECT_EQ(p.Name, "");
  EXPECT_FALSE(ParseDiscoveryPacket(d.data(), 0, p));
}

TEST(DiscoveryPacketTest, Parse_WrongMagic_Rejected) {
  for (size_t i = 0; i < 4; ++i) {
    TBytes d = WrenDatagram();
    d[i] ^= 0x20;  // "pNDR", "PnDR", ...
    TDiscoveryPacket p;
    p.Name = "stale";
    EXPECT_FALSE(Parse(d, p)) << "byte " << i;
    EXPECT_EQ(p.Name, "");
  }
}

TEST(DiscoveryPacketTest, Parse_KindOutsideOneToThree_Rejected) {
  for (int kind : {0, 4, 0xFF}) {
    TBytes d = WrenDatagram();
    d[4] = static_cast<uint8_t>(kind);
    TDiscoveryPacket p;
    EXPECT_FALSE(Parse(d, p)) << kind;
    EXPECT_EQ(p.Name, "");
  }
  for (int kind : {1, 2, 3}) {
    TBytes d = WrenDatagram();
    d[4] = static_cast<uint8_t>(kind);
    TDiscoveryPacket p;
    ASSERT_TRUE(Parse(d, p)) << kind;
    EXPECT_EQ(static_cast<int>(p.Kind), kind);
  }
}

TEST(DiscoveryPacketTest, Parse_NamePastEnd_Rejected) {
  TBytes d = WrenDatagram();
  d[15] = 5;  // five name bytes announced, four present
  TDiscoveryPacket p;
  p.Name = "stale";
  EXPECT_FALSE(Parse(d, p));
  EXPECT_EQ(p.Name, "");
  // The header alone with a nonzero length.
  TBytes header(d.begin(), d.begin() + 16);
  header[15] = 1;
  EXPECT_FALSE(Parse(header, p));
}

TEST(DiscoveryPacketTest, Parse_ExtraBytesAfterName_Accepted) {
  TBytes d = WrenDatagram();
  d += std::string("trailing junk");
  TDiscoveryPacket p;
  ASSERT_TRUE(Parse(d, p));
  EXPECT_EQ(p.Name, "wren");
  EXPECT_EQ(p.TcpPort, 7732);
}

TEST(DiscoveryPacketTest, Parse_EmptyName_Valid) {
  TBytes d = B({0x50, 0x4E, 0x44, 0x52, 0x03});
  d += kDay45000_25;
  d += B({0x01, 0x00, 0x00});
  TDiscoveryPacket p;
  p.Name = "stale";
  ASSERT_TRUE(Parse(d, p));
  EXPECT_EQ(p.Kind, TDiscoveryKind::dkGoodbye);
  EXPECT_EQ(p.UtcTime, 45000.25);
  EXPECT_EQ(p.TcpPort, 1);
  EXPECT_EQ(p.Name, "");
}

TEST(DiscoveryPacketTest, Parse_Utf8Name_TakenAsBytes) {
  const std::string name = "B\xC3\xBCro-\xE2\x97\x8F";
  TDiscoveryPacket p;
  ASSERT_TRUE(Parse(BuildDiscoveryPacket(TDiscoveryKind::dkReply, 80, name, 1.0), p));
  EXPECT_EQ(p.Name, name);
  EXPECT_EQ(p.TcpPort, 80);
  EXPECT_EQ(p.UtcTime, 1.0);
}

// ---- File list ----

TBytes ZeroBytes(size_t ACount) { return TBytes(ACount, 0); }

TEST(FileListTest, Encode_Empty_FourZeroBytes) {
  EXPECT_EQ(EncodeFileList({}), B({0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(DecodeFileList(B({0x00, 0x00, 0x00, 0x00})).empty());
}

TEST(FileListTest, Encode_OneRecord_ExactBytes) {
  const TFileEntry entry{"a/b.txt", 1536, 45000.5, "abc"};
  TBytes expected = B({0x01, 0x00, 0x00, 0x00, 0x07, 0x00});
  expected += std::string("a/b.txt");
  expected += B({0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  expected += kDay45000_5;
  expected += std::string("abc");
  expected += ZeroBytes(61);
  ASSERT_EQ(expected.size(), 4u + 82u + 7u);
  EXPECT_EQ(EncodeFileList({entry}), expected);
  const auto decoded = DecodeFileList(expected);
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0], entry);
}

TEST(FileListTest, Encode_TwoRecords_CountAndOrder) {
  TBytes expected = B({0x02, 0x00, 0x00, 0x00});
  expected += B({0x01, 0x00, 'x'});
  expected += B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // size -1
  expected += kDay45000_25;
  expected += ZeroBytes(64);
  expected += B({0x00, 0x00});                                      // empty path
  expected += B({0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00});  // size 2^32
  expected += ZeroBytes(8);                                         // time 0.0
  expected += ZeroBytes(64);
  EXPECT_EQ(EncodeFileList({{"x", -1, 45000.25, ""}, {"", int64_t{1} << 32, 0.0, ""}}),
            expected);
}

TEST(FileListTest, EmptyHash_SixtyFourZeroBytesDecodedEmpty) {
  const TBytes bytes = EncodeFileList({{"f", 0, 0.0, ""}});
  ASSERT_EQ(bytes.size(), 4u + 82u + 1u);
  EXPECT_EQ(TBytes(bytes.end() - 64, bytes.end()), ZeroBytes(64));
  const auto decoded = DecodeFileList(bytes);
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].Sha256, "");
}

TEST(FileListTest, FullHash_RoundTripUnchanged) {
  const std::string hash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
  const TBytes bytes = EncodeFileList({{"empty.txt", 0, 45000.5, hash}});
  EXPECT_EQ(std::string(bytes.end() - 64, bytes.end()), hash);
  const auto decoded = DecodeFileList(bytes);
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].Sha256, hash);
}

TEST(FileListTest, HashLongerThan64_FirstBytesKept) {
  const std::string hash = std::string(64, 'a') + "bcd";
  const auto decoded = DecodeFileList(EncodeFileList({{"p", 1, 2.0, hash}}));
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].Sha256, std::string(64, 'a'));
}

TEST(FileListTest, Decode_HashBlock_BlanksAndControlsStrippedAtBothEnds) {
  TBytes bytes = B({0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 'p'});
  bytes += ZeroBytes(16);
  TBytes block = B({' ', 0x01, '\t'});
  block += std::string("ab c");
  block += B({' ', 0x1F});
  block.resize(64, 0);
  bytes += block;
  const auto decoded = DecodeFileList(bytes);
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].Sha256, "ab c");
}

TEST(FileListTest, Decode_CountLargerThanRecords_CompleteRecordsOnly) {
  TBytes bytes = EncodeFileList({{"one", 1, 1.0, "h1"}, {"two", 2, 2.0, "h2"}});
  bytes[0] = 0x05;  // claims five
  const auto decoded = DecodeFileList(bytes);
  ASSERT_EQ(decoded.size(), 2u);
  EXPECT_EQ(decoded[0].RelPath, "one");
  EXPECT_EQ(decoded[1].RelPath, "two");
  EXPECT_EQ(decoded[1].Sha256, "h2");
  // A huge count over no records at all.
  EXPECT_TRUE(DecodeFileList(B({0xFF, 0xFF, 0xFF, 0xFF})).empty());
}

TEST(FileListTest, Decode_CutRecord_Dropped) {
  const TBytes full = EncodeFileList({{"one", 1, 1.0, "h1"}, {"two", 2, 2.0, "h2"}});
  // Every cut inside the second record leaves exactly the first one.
  const size_t secondStart = 4 + 82 + 3;
  for (size_t len = secondStart; len < full.size(); ++len) {
    const auto decoded = DecodeFileList(full.data(), len);
    ASSERT_EQ(decoded.size(), 1u) << "length " << len;
    EXPECT_EQ(decoded[0].RelPath, "one");
  }
  for (size_t len = 4; len < secondStart; ++len)
    EXPECT_TRUE(DecodeFileList(full.data(), len).empty()) << "length " << len;
  EXPECT_EQ(DecodeFileList(full).size(), 2u);
}

TEST(FileListTest, Decode_CountZeroWithTrailingBytes_Empty) {
  TBytes bytes = B({0x00, 0x00, 0x00, 0x00});
  const TBytes record = EncodeFileList({{"x", 1, 1.0, "h"}});
  bytes.insert(bytes.end(), record.begin() + 4, record.end());
  EXPECT_TRUE(DecodeFileList(bytes).empty());
}

TEST(FileListTest, Decode_FewerThanFourBytes_Empty) {
  const TBytes bytes = B({0x01, 0x00, 0x00});
  for (size_t len = 0; len <= 3; ++len)
    EXPECT_TRUE(DecodeFileList(bytes.data(), len).empty()) << "length " << len;
}

TEST(FileListTest, SeveralEntriesWithUtf8Paths_RoundTrip) {
  const TFileEntries entries = {
      {"docs/\xC3\xA9t\xC3\xA9.txt", 1048576, 45123.456789, std::string(64, '0')},
      {"\xE6\x97\xA5\xE6\x9C\xAC/\xE2\x97\x8F.bin", 0, 0.0, ""},
      {"deep/a/b/c/d/e/f.dat", 9223372036854775807, 73050.999988425923, "abcdef"},
      {"", -5, -1.5, "x"},
  };
  const TBytes bytes = EncodeFileList(entries);
  size_t expectedSize = 4;
  for (const auto& e : entries) expectedSize += 82 + e.RelPath.size();
  EXPECT_EQ(bytes.size(), expectedSize);
  EXPECT_EQ(DecodeFileList(bytes), entries);
}

TEST(FileListTest, PathOver65535Bytes_LowLengthBitsCarried) {
  const std::string path = "abc" + std::string(65536, 'z');  // 65539 bytes: low 16 bits are 3
  const TBytes bytes = EncodeFileList({{path, 7, 1.0, "h"}});
  ASSERT_EQ(bytes.size(), 4u + 82u + 3u);
  EXPECT_EQ(bytes[4], 0x03);
  EXPECT_EQ(bytes[5], 0x00);
  const auto decoded = DecodeFileList(bytes);
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].RelPath, "abc");
  EXPECT_EQ(decoded[0].Size, 7);
}

// ---- Little-endian helpers ----

TEST(LittleEndianTest, PutAndGet_ByteOrder) {
  uint8_t buf[8] = {};
  PutLe16(buf, 0x1234);
  EXPECT_EQ(buf[0], 0x34);
  EXPECT_EQ(buf[1], 0x12);
  PutLe32(buf, 0x89ABCDEF);
  EXPECT_EQ(TBytes(buf, buf + 4), B({0xEF, 0xCD, 0xAB, 0x89}));
  PutLe64(buf, 0x0102030405060708ull);
  EXPECT_EQ(TBytes(buf, buf + 8), B({8, 7, 6, 5, 4, 3, 2, 1}));
  const uint8_t high[8] = {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xF8};
  EXPECT_EQ(GetLe16(high), 0xFEFF);
  EXPECT_EQ(GetLe32(high), 0xFCFDFEFFu);
  EXPECT_EQ(GetLe64(high), 0xF8F9FAFBFCFDFEFFull);
}

}  // namespace

TEST(FileListTest, Decoder_AnySplitIntoPieces_GivesWhatTheWholeGives) {
  const TFileEntries entries{{"one", 1, 1.0, "h1"}, {"", 0, 0, ""}, {"three/3", 3, 3.5, "h3"}};
  const TBytes whole = EncodeFileList(entries);
  // Two cuts anywhere, the count and the records cut at every byte among them.
  for (size_t a = 0; a <= whole.size(); ++a) {
    for (size_t b = a; b <= whole.size(); b += 7) {
      Pondar::Net::TFileListDecoder decoder;
      decoder.Feed(whole.data(), a);
      decoder.Feed(whole.data() + a, b - a);
      decoder.Feed(whole.data() + b, whole.size() - b);
      ASSERT_EQ(decoder.Take(), entries) << a << " " << b;
    }
  }
}
