// Every message in memory, without a socket: each writer against bytes written out by hand,
// each reader against hand-made (also hostile) input, with what it took of the stream.
#include "net/Messages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using namespace Pondar::Net;
using Pondar::Core::CurrentUtcTime;
using PondarTest::B;
using PondarTest::Le16;
using PondarTest::Le32;
using PondarTest::Le64;

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

// The key 01 02 .. 20, and the tags HMAC-SHA256 gives with it (worked out with Python's hmac).
TKeyBytes TestKey() {
  TKeyBytes key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i + 1);
  return key;
}

// The keyed datagrams of "wren" (reply, 7732, day 45000.5) and of an empty name (goodbye,
// 65535, day 45000.25) under TestKey.
TBytes WrenKeyedReply() {
  return B({'P', 'N', 'D', 'K', 0x02}) + kDay45000_5 +
         B({0x34, 0x1E, 0x04, 'w', 'r', 'e', 'n', 0x68, 0xd7, 0xb0, 0x1c, 0x25, 0x21, 0x26, 0xc5,
            0xf1, 0xd7, 0x2d, 0x63, 0x8e, 0x7e, 0x2d, 0xba});
}
TBytes KeyedEmptyGoodbye() {
  return B({'P', 'N', 'D', 'K', 0x03}) + kDay45000_25 +
         B({0xFF, 0xFF, 0x00, 0xb8, 0x92, 0x4a, 0x83, 0x17, 0xbe, 0x65, 0x0f, 0xa9, 0x91, 0x28,
            0x5a, 0xb9, 0x6b, 0xa9, 0x11});
}

// Every kind in one layout, plain and keyed; a name cut to the 255 bytes its length byte counts;
// the current clock when no time is given.
TEST(DiscoveryPacketTest, Build_ExactBytes_EveryKindOneLayout_PlainAndKeyed) {
  EXPECT_EQ(BuildDiscoveryPacket(TDiscoveryKind::dkReply, 7732, "wren", 45000.5),
            B({0x50, 0x4E, 0x44, 0x52, 0x02}) + kDay45000_5 +
                B({0x34, 0x1E, 0x04, 'w', 'r', 'e', 'n'}));
  for (const auto kind : {TDiscoveryKind::dkAnnounce, TDiscoveryKind::dkReply,
                          TDiscoveryKind::dkGoodbye}) {
    EXPECT_EQ(BuildDiscoveryPacket(kind, 65535, "", 45000.25),
              B({0x50, 0x4E, 0x44, 0x52, static_cast<int>(kind)}) + kDay45000_25 +
                  B({0xFF, 0xFF, 0x00}));
  }
  const TKeyBytes key = TestKey();
  EXPECT_EQ(BuildKeyedDiscoveryPacket(TDiscoveryKind::dkReply, 7732, "wren", 45000.5, key),
            WrenKeyedReply());
  EXPECT_EQ(BuildKeyedDiscoveryPacket(TDiscoveryKind::dkGoodbye, 65535, "", 45000.25, key),
            KeyedEmptyGoodbye());

  std::string name;
  for (int i = 0; i < 300; ++i) name += static_cast<char>('a' + i % 26);
  const TBytes cut = BuildDiscoveryPacket(TDiscoveryKind::dkAnnounce, 7732, name, 45000.5);
  ASSERT_EQ(cut.size(), 16u + 255u);
  EXPECT_EQ(cut[15], 0xFF);
  EXPECT_EQ(std::string(cut.begin() + 16, cut.end()), name.substr(0, 255));
  EXPECT_EQ(DiscoveryWireName(name), name.substr(0, 255));
  EXPECT_EQ(DiscoveryWireName(name.substr(0, 255)), name.substr(0, 255));

  const double before = CurrentUtcTime();
  const TBytes now = BuildDiscoveryPacket(TDiscoveryKind::dkAnnounce, 1, "x");
  const double after = CurrentUtcTime();
  TDiscoveryPacket p;
  ASSERT_TRUE(Parse(now, p));
  EXPECT_GE(p.UtcTime, before);
  EXPECT_LE(p.UtcTime, after);
}

// Every datagram read by the reader of its mode, plain (no key) or keyed: the verdict, and the
// fields of one that is taken as "kind port day name". A refused one leaves no name behind.
TEST(DiscoveryPacketTest, Parse_HandMadeBytes_PlainAndKeyed_TakenOrRefused) {
  const TKeyBytes key = TestKey();
  TKeyBytes otherKey = key;
  otherKey[31] ^= 1;
  const TBytes wren = WrenDatagram(), wrenReply = WrenKeyedReply();
  const auto changed = [](TBytes ABytes, size_t AAt, uint8_t AXor) {
    ABytes.at(AAt) ^= AXor;
    return ABytes;
  };
  const auto cut = [](TBytes ABytes, size_t ALess) {
    ABytes.resize(ABytes.size() - ALess);
    return ABytes;
  };
  const TBytes plainGoodbye = B({0x50, 0x4E, 0x44, 0x52, 0x03}) + kDay45000_25 + B({1, 0, 0});
  const std::string utf8 = "B\xC3\xBCro-\xE2\x97\x8F";
  using enum TKeyedDatagram;
  struct TCase {
    const char* What;
    TBytes Bytes;
    const TKeyBytes* Key;  // null: plain
    TKeyedDatagram Verdict;
    std::string Taken;
  };
  const TCase cases[] = {
      {"plain: an announcement", wren, nullptr, Valid, "1 7732 45000.5 wren"},
      {"plain: bytes after the name", wren + std::string("junk"), nullptr, Valid,
       "1 7732 45000.5 wren"},
      {"plain: a goodbye with an empty name", plainGoodbye, nullptr, Valid, "3 1 45000.25 "},
      {"plain: a UTF-8 name, as bytes", BuildDiscoveryPacket(TDiscoveryKind::dkReply, 80, utf8, 1),
       nullptr, Valid, "2 80 1 " + utf8},
      {"plain: fifteen bytes", cut(wren, 5), nullptr, Invalid, ""},
      {"plain: nothing", TBytes(), nullptr, Invalid, ""},
      {"plain: pNDR", changed(wren, 0, 0x20), nullptr, Invalid, ""},
      {"plain: PnDR", changed(wren, 1, 0x20), nullptr, Invalid, ""},
      {"plain: PNdR", changed(wren, 2, 0x20), nullptr, Invalid, ""},
      {"plain: PNDr", changed(wren, 3, 0x20), nullptr, Invalid, ""},
      {"plain: kind 0", changed(wren, 4, 0x01), nullptr, Invalid, ""},
      {"plain: kind 4", changed(wren, 4, 0x05), nullptr, Invalid, ""},
      {"plain: kind 255", changed(wren, 4, 0xFE), nullptr, Invalid, ""},
      {"plain: a name past the end", changed(wren, 15, 0x01), nullptr, Invalid, ""},
      {"plain: the header alone, a name announced", changed(cut(wren, 4), 15, 0x05), nullptr,
       Invalid, ""},
      {"plain: a keyed datagram", wrenReply, nullptr, Invalid, ""},
      {"keyed: a reply", wrenReply, &key, Valid, "2 7732 45000.5 wren"},
      {"keyed: a goodbye with an empty name", KeyedEmptyGoodbye(), &key, Valid,
       "3 65535 45000.25 "},
      {"keyed: another key", wrenReply, &otherKey, Foreign, ""},
      {"keyed: one bit of the tag", changed(wrenReply, wrenReply.size() - 1, 0x80), &key, Foreign,
       ""},
      {"keyed: one bit of the port", changed(wrenReply, 13, 0x01), &key, Foreign, ""},
      {"keyed: one bit of the clock", changed(wrenReply, 5, 0x01), &key, Foreign, ""},
      {"keyed: a plain datagram, a peer without a key", wren, &key, Foreign, ""},
      {"keyed: a byte after the tag", wrenReply + B({0x00}), &key, Invalid, ""},
      {"keyed: the tag cut by one byte", cut(wrenReply, 1), &key, Invalid, ""},
      {"keyed: no tag at all", cut(wrenReply, 16), &key, Invalid, ""},
      {"keyed: a name length past the tag", changed(wrenReply, 15, 0x01), &key, Invalid, ""},
      {"keyed: kind 4", changed(wrenReply, 4, 0x06), &key, Invalid, ""},
      {"keyed: an unknown magic", changed(wrenReply, 3, 0x01), &key, Invalid, ""},
      {"keyed: nothing", TBytes(), &key, Invalid, ""},
  };
  for (const TCase& c : cases) {
    TDiscoveryPacket p;
    p.Name = "left over";
    const TKeyedDatagram verdict =
        c.Key ? ParseKeyedDiscoveryPacket(c.Bytes.data(), c.Bytes.size(), *c.Key, p)
              : (Parse(c.Bytes, p) ? Valid : Invalid);
    EXPECT_EQ(verdict, c.Verdict) << c.What;
    std::ostringstream taken;
    taken << std::setprecision(12);
    if (verdict == Valid)
      taken << static_cast<int>(p.Kind) << " " << p.TcpPort << " " << p.UtcTime << " ";
    EXPECT_EQ(taken.str() + p.Name, c.Taken) << c.What;
  }
}

// ---- TCP messages: writers ----

// The reply for a file in memory that holds AContent, announced as ASize bytes.
bool ReplyWithFile(TOutStream& AOut, const std::string& AContent, int64_t ASize) {
  const int fd = ::memfd_create("served", MFD_CLOEXEC);
  EXPECT_EQ(::write(fd, AContent.data(), AContent.size()), static_cast<ssize_t>(AContent.size()));
  ::lseek(fd, 0, SEEK_SET);
  const bool ok = WriteFileReply(AOut, fd, ASize);
  ::close(fd);
  return ok;
}

// Runs AWrite into memory and checks that it reported AOk; the bytes written.
TBytes Written(const std::function<bool(TOutStream&)>& AWrite, bool AOk = true) {
  TMemOutStream out;
  EXPECT_EQ(AWrite(out), AOk);
  return out.Take();
}

TEST(MessageWriterTest, EveryWriterGivesTheHandMadeBytes) {
  const std::string longPath = "abc" + std::string(65536, 'z');  // low 16 bits of length: 3
  struct TCase {
    const char* Name;
    std::function<bool(TOutStream&)> Write;
    TBytes Expected;
    bool Ok = true;
  };
  const TCase cases[] = {
      {"file list request", [](TOutStream& O) { return WriteFileListRequest(O); }, B({0x01})},
      {"file list reply", [](TOutStream& O) { return WriteFileListReply(O, B({0, 0, 0, 0})); },
       B({4, 0, 0, 0, 0, 0, 0, 0})},
      {"get file", [](TOutStream& O) { return WriteGetFileRequest(O, "docs/a.txt"); },
       B({0x02, 10, 0}) + std::string("docs/a.txt")},
      {"get file, path over 64 KiB",
       [&](TOutStream& O) { return WriteGetFileRequest(O, longPath); },
       B({0x02, 3, 0}) + std::string("abc")},
      {"file reply", [](TOutStream& O) { return ReplyWithFile(O, "hello", 5); },
       Le64(5) + std::string("hello")},
      {"file reply, file shrank", [](TOutStream& O) { return ReplyWithFile(O, "hi", 5); }, Le64(5),
       false},
      {"empty file reply", [](TOutStream& O) { return ReplyWithFile(O, "", 0); }, Le64(0)},
      {"missing file reply", [](TOutStream& O) { return WriteMissingFileReply(O); },
       TBytes(8, 0xFF)},
      {"delete notice", [](TOutStream& O) { return WriteDeleteNotify(O, "docs/a.txt"); },
       B({0x03, 10, 0}) + std::string("docs/a.txt")},
      {"changes notice", [](TOutStream& O) { return WriteChangesNotify(O); }, B({0x04})},
      {"empty clipboard text", [](TOutStream& O) { return WriteClipboardText(O, ""); },
       B({0x05, 0, 0, 0, 0})},
      {"clipboard text", [](TOutStream& O) { return WriteClipboardText(O, "h\xC3\xA9"); },
       B({0x05, 3, 0, 0, 0, 'h', 0xC3, 0xA9})},
      {"screen frame", [](TOutStream& O) { return WriteScreenFrame(O, "alice", B({1, 0, 3})); },
       B({0x06, 5, 0}) + std::string("alice") + B({3, 0, 0, 0, 1, 0, 3})},
      {"screen frame without payload", [](TOutStream& O) { return WriteScreenFrame(O, "", {}); },
       B({0x06, 0, 0, 0, 0, 0, 0})},
  };
  for (const TCase& c : cases) EXPECT_EQ(Written(c.Write, c.Ok), c.Expected) << c.Name;
}

// ---- TCP messages: readers ----

// A reader's result as text, so that one table holds every reader: nullopt when it refused.
using TReader = std::function<std::optional<std::string>(TInStream&)>;

template <class TResult>
std::optional<std::string> Text(const std::optional<TResult>& AResult) {
  if (!AResult) return std::nullopt;
  return std::string(AResult->begin(), AResult->end());
}

const TReader GetFile = [](TInStream& AIn) { return Text(ReadGetFileRequest(AIn)); };
const TReader Delete = [](TInStream& AIn) { return Text(ReadDeleteNotify(AIn)); };
const TReader Clipboard = [](TInStream& AIn) { return Text(ReadClipboardText(AIn)); };
const TReader Frame = [](TInStream& AIn) -> std::optional<std::string> {
  const auto frame = ReadScreenFrame(AIn);
  if (!frame) return std::nullopt;
  return frame->PeerName + "|" + std::string(frame->Data.begin(), frame->Data.end());
};
const TReader FileSize = [](TInStream& AIn) -> std::optional<std::string> {
  const auto size = ReadFileReplySize(AIn);
  if (!size) return std::nullopt;
  return std::to_string(*size);
};
const TReader FileList = [](TInStream& AIn) -> std::optional<std::string> {
  const auto list = ReadFileListReply(AIn);
  if (!list) return std::nullopt;
  std::string text;
  for (const auto& e : *list)
    text += e.RelPath + " " + std::to_string(e.Size) + " " + std::to_string(e.ModifiedUtc) + " " +
            e.Sha256 + ";";
  return text;
};

constexpr size_t All = SIZE_MAX;

TEST(MessageReaderTest, EveryReaderTakesWhatIsWholeAndRefusesTheRest) {
  // One entry, by hand: "x", size 7, time 2.0, hash "9f".
  const TBytes oneEntry = B({1, 0, 0, 0, 1, 0}) + std::string("x") + Le64(7) +
                          B({0, 0, 0, 0, 0, 0, 0, 0x40}) + std::string("9f") + TBytes(62, 0);
  const std::string path4096(4096, 'a');
  const std::string name256(256, 'n');
  struct TCase {
    const char* Name;
    const TReader& Read;
    TBytes Input;
    std::optional<std::string> Expected;  // nullopt: refused
    size_t Taken;                          // bytes of the input read; All: every one
  };
  const TCase cases[] = {
      // Types 2 and 3: one rule for every path a peer sends.
      {"path", GetFile, B({10, 0}) + std::string("docs/a.txt"), "docs/a.txt", All},
      {"backslashes", Delete, B({11, 0}) + std::string("docs\\b\\c.md"), "docs/b/c.md", All},
      {"climbing out", GetFile, B({7, 0}) + std::string("../evil"), std::nullopt, All},
      {"dot dot inside a name", Delete, B({4, 0}) + std::string("a..b"), std::nullopt, All},
      {"dot dot alone", GetFile, B({2, 0}) + std::string(".."), std::nullopt, All},
      {"NUL byte", GetFile, B({3, 0}) + std::string("a\0b", 3), std::nullopt, All},
      {"empty path", Delete, B({0, 0}), std::nullopt, All},
      {"empty path: the folder itself", GetFile, B({0, 0}), "", All},
      {"4096 bytes", GetFile, Le16(4096) + path4096, path4096, All},
      {"4097 bytes, refused unread", GetFile, B({0x01, 0x10}) + path4096, std::nullopt, 2},
      {"path cut short", Delete, B({10, 0}) + std::string("abc"), std::nullopt, All},
      // Type 5.
      {"empty text", Clipboard, B({0, 0, 0, 0}), "", All},
      {"text", Clipboard, Le32(12) + std::string("h\xC3\xA9llo\nw\0rld", 12),
       std::string("h\xC3\xA9llo\nw\0rld", 12), All},
      {"text over 100 MiB, refused unread", Clipboard, Le32(104857601) + B({1}), std::nullopt, 4},
      {"text of 4 GiB, refused unread", Clipboard, Le32(0xFFFFFFFF) + B({1}), std::nullopt, 4},
      {"text cut short", Clipboard, Le32(10) + B({1, 2}), std::nullopt, All},
      // Type 6.
      {"frame", Frame, B({5, 0}) + std::string("alice") + Le32(2) + B({0, 0xFF}),
       std::string("alice|\0\xFF", 8), All},
      {"frame without name", Frame, B({0, 0}) + Le32(1) + B({42}), "|*", All},
      {"longest name", Frame, Le16(256) + name256 + Le32(1) + B({'7'}), name256 + "|7", All},
      {"name of 257, refused unread", Frame, Le16(257) + name256 + "n", std::nullopt, 2},
      {"payload over 50 MiB, refused unread", Frame,
       B({3, 0}) + std::string("bob") + Le32(52428801) + B({1}), std::nullopt, 9},
      {"empty payload", Frame, B({3, 0}) + std::string("bob") + Le32(0), "bob|", All},
      {"payload cut short", Frame, B({3, 0}) + std::string("bob") + Le32(10) + B({1, 2}),
       std::nullopt, All},
      // Type 1's reply.
      {"list", FileList, Le32(oneEntry.size()) + oneEntry, "x 7 2.000000 9f;", All},
      {"list of length 0", FileList, Le32(0) + B({0, 0, 0, 0}), std::nullopt, 4},
      {"list over 100 MiB, unread", FileList, Le32(104857601) + oneEntry, std::nullopt, 4},
      {"list of 4 GiB, unread", FileList, Le32(0xFFFFFFFF) + oneEntry, std::nullopt, 4},
      {"list cut short", FileList, Le32(100) + B({1, 0, 0, 0, 1, 0, 'x'}), std::nullopt, All},
      // Type 2's reply.
      {"file size", FileSize, Le64(5) + std::string("hello"), "5", 8},
      {"no such file", FileSize, TBytes(8, 0xFF), "-1", All},
      {"size cut short", FileSize, TBytes(7, 0), std::nullopt, All},
  };
  for (const TCase& c : cases) {
    TMemInStream in(c.Input);
    EXPECT_EQ(c.Read(in), c.Expected) << c.Name;
    EXPECT_EQ(in.Position(), c.Taken == All ? c.Input.size() : c.Taken) << c.Name;
  }
}

TEST(MessageReaderTest, WhatEveryWriterWritesItsReaderReadsBack) {
  const TBytes payload(3 << 20, 0xA5);  // larger than one step of a growing buffer
  const std::string text(5 << 20, 't');
  const TBytes frame = Written([&](TOutStream& O) { return WriteScreenFrame(O, "me", payload); });
  TMemInStream frameIn(frame.data() + 1, frame.size() - 1);  // the server has read the type
  const auto read = ReadScreenFrame(frameIn);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->PeerName, "me");
  EXPECT_TRUE(read->Data == payload);
  const TBytes clip = Written([&](TOutStream& O) { return WriteClipboardText(O, text); });
  TMemInStream clipIn(clip.data() + 1, clip.size() - 1);
  EXPECT_EQ(ReadClipboardText(clipIn), text);
  EXPECT_EQ(clipIn.Remaining(), 0u);
}

// ---- Little-endian fields ----

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
