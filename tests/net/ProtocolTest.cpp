// The file-list encoding shared with other peers, checked against bytes written out by hand.
#include "net/Protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using namespace Pondar::Net;
using Pondar::Core::TFileEntry;
using PondarTest::B;

// 45000.5 and 45000.25 as little-endian IEEE-754 doubles.
const TBytes kDay45000_5 = B({0x00, 0x00, 0x00, 0x00, 0x10, 0xF9, 0xE5, 0x40});
const TBytes kDay45000_25 = B({0x00, 0x00, 0x00, 0x00, 0x08, 0xF9, 0xE5, 0x40});

// ---- File list ----

TBytes ZeroBytes(size_t ACount) { return TBytes(ACount, 0); }

TEST(FileListTest, Encode_Empty_FourZeroBytes) {
  EXPECT_EQ(EncodeFileList({}), B({0x00, 0x00, 0x00, 0x00}));
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
  const TFileEntries entries{{"x", -1, 45000.25, ""}, {"", int64_t{1} << 32, 0.0, ""}};
  EXPECT_EQ(EncodeFileList(entries), expected);
  EXPECT_EQ(DecodeFileList(expected), entries);  // 64 zero bytes: no hash
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

// No count, or a count of none whatever follows: no entry.
TEST(FileListTest, Decode_FewerThanFourBytesOrCountZero_Empty) {
  const TBytes bytes = B({0x01, 0x00, 0x00});
  for (size_t len = 0; len <= 3; ++len)
    EXPECT_TRUE(DecodeFileList(bytes.data(), len).empty()) << "length " << len;
  TBytes zero = EncodeFileList({{"x", 1, 1.0, "h"}});
  zero[0] = 0;
  EXPECT_TRUE(DecodeFileList(zero).empty());
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

// A path's length in its low 16 bits, a hash in its first 64 bytes.
TEST(FileListTest, OverlongPathAndHash_Cut) {
  const std::string path = "abc" + std::string(65536, 'z');  // 65539 bytes: low 16 bits are 3
  const TBytes bytes = EncodeFileList({{path, 7, 1.0, std::string(64, 'a') + "bcd"}});
  ASSERT_EQ(bytes.size(), 4u + 82u + 3u);
  EXPECT_EQ(bytes[4], 0x03);
  EXPECT_EQ(bytes[5], 0x00);
  const auto decoded = DecodeFileList(bytes);
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].RelPath, "abc");
  EXPECT_EQ(decoded[0].Size, 7);
  EXPECT_EQ(decoded[0].Sha256, std::string(64, 'a'));
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
