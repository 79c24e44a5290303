// Screen frames: layouts against bytes written out by hand, tiles checked with zlib itself
// (not the codec's own inflater), round trips, and frames a hostile peer could send.
#include "screen/Protocol.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/Bytes.h"

namespace {

using namespace Pondard::Screen;
using PondarTest::B;
using PondarTest::Le16;
using PondarTest::Le32;

// A picture with flat runs and noise, so that tiles compress to different sizes.
TBytes Picture(int AWidth, int AHeight, unsigned ASeed) {
  std::mt19937 gen(ASeed);
  TBytes px(size_t(AWidth) * AHeight * 3);
  for (size_t i = 0; i < px.size(); ++i) px[i] = (i / 97) % 3 ? uint8_t(i / 301) : uint8_t(gen());
  return px;
}

TBytes Zlib(const TBytes& ARaw, int ALevel = Z_DEFAULT_COMPRESSION) {
  uLongf len = compressBound(ARaw.size());
  TBytes out(len);
  EXPECT_EQ(compress2(out.data(), &len, ARaw.data(), ARaw.size(), ALevel), Z_OK);
  out.resize(len);
  return out;
}

// Inflates with zlib; empty when the stream is not whole.
TBytes Inflate(const uint8_t* AData, size_t ACount) {
  z_stream z{};
  inflateInit(&z);
  z.next_in = const_cast<uint8_t*>(AData);
  z.avail_in = static_cast<uInt>(ACount);
  TBytes out(1 << 20);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  out.resize(z.total_out);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? out : TBytes{};
}

struct TRecord {
  int Col, Row;
  TBytes Stream;
  int32_t Len = -1;  // -1: the stream's own length
};

TBytes Frame(int AWidth, int AHeight, int ATileSize, const std::vector<TRecord>& ARecords,
             int ACount = -1) {
  TBytes f = Le16(AWidth) + Le16(AHeight) + B({ATileSize, 0});
  f += Le16(ACount < 0 ? ARecords.size() : ACount);
  for (const TRecord& r : ARecords)
    f += Le16(r.Col) + Le16(r.Row) + Le32(uint32_t(r.Len == -1 ? int32_t(r.Stream.size()) : r.Len)) +
         r.Stream;
  return f;
}

// Raw tile bytes of a 64-pixel grid, top row first, written without the codec.
TBytes Tile(const TBytes& APixels, int AWidth, int AHeight, int ACol, int ARow, int ATs = 64) {
  TBytes out;
  for (int y = ARow * ATs; y < std::min(AHeight, ARow * ATs + ATs); ++y)
    for (int x = ACol * ATs; x < std::min(AWidth, ACol * ATs + ATs); ++x)
      for (int c = 0; c < 3; ++c) out.push_back(APixels[(size_t(AHeight - 1 - y) * AWidth + x) * 3 + c]);
  return out;
}

// APicture's pixels where the tiles of AApplied lie, AFill elsewhere.
TBytes WithTiles(const TBytes& APicture, int AWidth, int AHeight, int ATs,
                 const std::vector<std::pair<int, int>>& AApplied, uint8_t AFill) {
  TBytes out(APicture.size(), AFill);
  for (const auto& [col, row] : AApplied)
    for (int y = row * ATs; y < std::min(AHeight, row * ATs + ATs); ++y)
      for (int x = col * ATs; x < std::min(AWidth, col * ATs + ATs); ++x)
        for (int c = 0; c < 3; ++c) {
          const size_t i = (size_t(AHeight - 1 - y) * AWidth + x) * 3 + c;
          out[i] = APicture[i];
        }
  return out;
}

TBytes Decoded(const TBytes& AFrame, TBytes ADest) {
  TScreenFrame f;
  EXPECT_TRUE(ParseScreenFrame(AFrame, f));
  EXPECT_TRUE(DecodeScreenFrame(f, ADest.data(), ADest.size()));
  return ADest;
}

// The geometry examples: tile counts in the header, the size of edge tiles.
TEST(ScreenFrameTest, KeyFrame_TileGeometry) {
  const struct {
    int W, H, Tiles, Col, Row;
    size_t Bytes;
  } cases[] = {
      {1920, 1080, 510, 0, 16, 64 * 56 * 3},  // bottom row 56 high: 10752 bytes
      {1366, 768, 264, 21, 0, 22 * 64 * 3},   // last column 22 wide
      {1366, 768, 264, 21, 11, 22 * 64 * 3},
      {65, 1, 2, 1, 0, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H));
    const TBytes px = Picture(c.W, c.H, 1);
    const TBytes frame = EncodeScreenFrame(c.W, c.H, px.data(), px.data(), KeyFrame);
    EXPECT_EQ(frame[6] | frame[7] << 8, c.Tiles) << "a key frame carries every tile, changed or not";
    uint8_t tile[64 * 64 * 3];
    EXPECT_EQ(ExtractTile(px.data(), c.W, c.H, c.Col, c.Row, tile), c.Bytes);
    EXPECT_EQ(TBytes(tile, tile + c.Bytes), Tile(px, c.W, c.H, c.Col, c.Row));
  }
}

TEST(ScreenFrameTest, UnchangedDelta_IsTheEightHeaderBytes) {
  const TBytes px = Picture(1366, 768, 2);
  const TBytes frame = EncodeScreenFrame(1366, 768, px.data(), TBytes(px).data(), DeltaFrame);
  EXPECT_EQ(frame, B({0x56, 0x05, 0x00, 0x03, 0x40, 0x01, 0x00, 0x00}));
  // 4098-byte rows: the decoder writes into exactly Width x Height x 3 bytes.
  EXPECT_EQ(Decoded(frame, px), px);
}

// 66 x 2 pixels: tile (0,0) is 64 x 2, tile (1,0) is 2 x 2. Pixel (x, y) is (x, y, 7).
TEST(ScreenFrameTest, SmallKeyFrame_HandMadeLayout) {
  TBytes px;
  for (int y = 1; y >= 0; --y)  // bottom row first
    for (int x = 0; x < 66; ++x) px += B({x, y, 7});
  const TBytes frame = EncodeScreenFrame(66, 2, px.data(), nullptr, DeltaFrame);
  ASSERT_GE(frame.size(), 8u + 16u);
  EXPECT_EQ(TBytes(frame.begin(), frame.begin() + 8), B({66, 0, 2, 0, 64, 1, 2, 0}));
  const size_t len0 = frame[12] | frame[13] << 8 | frame[14] << 16 | frame[15] << 24;
  ASSERT_LT(8 + 8 + len0 + 8, frame.size());
  EXPECT_EQ(TBytes(frame.begin() + 8, frame.begin() + 12), B({0, 0, 0, 0}));
  EXPECT_EQ(frame[16], 0x78) << "a zlib header opens each stream";
  TBytes tile0;
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 64; ++x) tile0 += B({x, y, 7});
  EXPECT_EQ(Inflate(&frame[16], len0), tile0);
  const size_t at = 16 + len0;
  EXPECT_EQ(TBytes(frame.begin() + at, frame.begin() + at + 4), B({1, 0, 0, 0}));
  const size_t len1 = frame[at + 4] | frame[at + 5] << 8;
  EXPECT_EQ(frame.size(), at + 8 + len1);
  EXPECT_EQ(Inflate(&frame[at + 8], len1), B({64, 0, 7, 65, 0, 7, 64, 1, 7, 65, 1, 7}));
}

TEST(ScreenFrameTest, RoundTrips_KeyIntoBlackAndDeltaOntoPrevious) {
  const std::pair<int, int> sizes[] = {{1, 1}, {64, 64}, {65, 63}, {130, 70}, {1366, 768}};
  for (const auto& [w, h] : sizes) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const TBytes before = Picture(w, h, 3);
    TBytes after = before;
    after[0] ^= 1;                        // bottom-left tile
    after[after.size() - 1] ^= 0x80;      // top-right tile
    const TBytes key = EncodeScreenFrame(w, h, before.data(), nullptr, KeyFrame);
    EXPECT_EQ(Decoded(key, TBytes(before.size())), before);
    const TBytes delta = EncodeScreenFrame(w, h, after.data(), before.data(), DeltaFrame);
    EXPECT_EQ(delta[6], w > 64 || h > 64 ? 2 : 1) << "only the changed tiles travel";
    EXPECT_EQ(Decoded(delta, before), after);
  }
}

// Threads may share the compression; the bytes must not depend on which took what.
TEST(ScreenFrameTest, KeyFrame_RecordsAreCompressTileOfEachTileInOrder) {
  const TBytes px = Picture(700, 300, 4);
  const TBytes frame = EncodeScreenFrame(700, 300, px.data(), nullptr, KeyFrame);
  TBytes expected = B({0xBC, 0x02, 0x2C, 0x01, 64, 0}) + Le16(11 * 5);
  uint8_t tile[64 * 64 * 3];
  for (int row = 0; row < 5; ++row)
    for (int col = 0; col < 11; ++col) {
      const TBytes z = CompressTile(tile, ExtractTile(px.data(), 700, 300, col, row, tile));
      expected += Le16(col) + Le16(row) + Le32(z.size()) + z;
    }
  EXPECT_EQ(frame, expected);
}

TEST(ScreenFrameTest, FitsScreenFrame_SizeLimits) {
  const struct { int W, H; bool Fits; } cases[] = {
      {1, 1, true}, {0, 1, false}, {1, 0, false}, {-5, 10, false}, {65535, 64, true},
      {65536, 1, false}, {1, 65536, false}, {16384, 16320, true},  // 256 x 255 tiles
      {16384, 16384, false},                                        // 65536 tiles
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitsScreenFrame(c.W, c.H), c.Fits) << c.W << "x" << c.H;
    if (!c.Fits && c.W >= 0 && c.W <= 65535 && c.H >= 0 && c.H <= 65535) {
      const uint8_t px[3] = {};
      EXPECT_THROW(EncodeScreenFrame(uint16_t(c.W), uint16_t(c.H), px, nullptr, KeyFrame),
                   std::invalid_argument);
    }
  }
}

TEST(ScreenFrameTest, Parse_HeaderRules) {
  const struct { TBytes Bytes; bool Ok; } cases[] = {
      {B({1, 0, 1, 0, 64, 0, 0}), false},               // 7 bytes
      {B({0, 0, 1, 0, 64, 0, 0, 0}), false},            // width 0
      {B({1, 0, 0, 0, 64, 0, 0, 0}), false},            // height 0
      {B({1, 0, 1, 0, 0, 0, 0, 0}), false},             // tile size 0
      {B({1, 0, 1, 0, 64, 9, 0, 0}), true},             // any frame type, no tiles
      {B({0x80, 0x07, 0x38, 0x04, 64, 1, 3, 0, 0xAA}), true},
  };
  for (const auto& c : cases) {
    TScreenFrame f;
    f.Width = 5;
    ASSERT_EQ(ParseScreenFrame(c.Bytes, f), c.Ok) << ::testing::PrintToString(c.Bytes);
    if (!c.Ok) {
      EXPECT_EQ(f.Width, 0) << "a refused frame leaves the record cleared";
      continue;
    }
    EXPECT_EQ(f.Width, c.Bytes[0] | c.Bytes[1] << 8);
    EXPECT_EQ(f.Height, c.Bytes[2] | c.Bytes[3] << 8);
    EXPECT_EQ(f.TileSize, c.Bytes[4]);
    EXPECT_EQ(f.FrameType, c.Bytes[5]);
    EXPECT_EQ(f.Data, TBytes(c.Bytes.begin() + 6, c.Bytes.end()));
  }
}

// Frames of a 128 x 80 picture (2 x 2 tiles of 64, the bottom row 16 high) made by hand,
// decoded onto a buffer of 0x11; the table says which tiles must come through, or that the
// frame is refused whole (a tile listed twice). Each is done within a second: a frame that
// lists one tile 65535 times is refused before the first of 800 MB of inflating.
TEST(ScreenFrameTest, Decode_MalformedAndHostileRecords) {
  const int w = 128, h = 80;
  const TBytes px = Picture(w, h, 5);
  auto t = [&](int c, int r) { return Zlib(Tile(px, w, h, c, r)); };
  TBytes bombRaw(64u << 20);
  const TBytes bomb = Zlib(bombRaw, 9);  // 64 MiB of zeros in about 64 KiB
  TBytes longer = Tile(px, w, h, 0, 0), shorter = longer, badCheck = t(0, 0);
  longer.push_back(0);
  shorter.pop_back();
  badCheck.back() ^= 1;
  const TBytes full = Frame(w, h, 64, {{0, 0, t(0, 0)}, {1, 0, t(1, 0)}, {0, 1, t(0, 1)}});
  const TBytes twice = Frame(w, h, 64, {{0, 0, t(0, 0)}, {1, 0, t(1, 0)}, {0, 0, t(0, 0)}});
  const std::vector<TRecord> sameTile(65535, {1, 0, Zlib(TBytes(64 * 64 * 3, 0x42))});

  const struct {
    const char* Name;
    TBytes Frame;
    std::vector<std::pair<int, int>> Applied;
    bool Refused = false;
  } cases[] = {
      {"header only", Frame(w, h, 64, {}), {}},
      {"last record cut short", TBytes(full.begin(), full.end() - 1), {{0, 0}, {1, 0}}},
      {"last record header cut short",
       Frame(w, h, 64, {{0, 0, t(0, 0)}, {1, 0, t(1, 0)}}, 3) + B({0, 0, 1, 0, 5}), {{0, 0}, {1, 0}}},
      {"inflates to one byte more", Frame(w, h, 64, {{0, 0, Zlib(longer)}, {1, 0, t(1, 0)}}), {{1, 0}}},
      {"inflates to one byte less", Frame(w, h, 64, {{0, 0, Zlib(shorter)}, {1, 0, t(1, 0)}}), {{1, 0}}},
      {"bad Adler-32", Frame(w, h, 64, {{0, 0, badCheck}, {1, 0, t(1, 0)}}), {{1, 0}}},
      {"empty stream", Frame(w, h, 64, {{0, 0, {}}, {1, 0, t(1, 0)}}), {{1, 0}}},
      {"zlib bomb", Frame(w, h, 64, {{0, 0, bomb}, {1, 1, t(1, 1)}}), {{1, 1}}},
      {"negative Len stops", Frame(w, h, 64, {{0, 0, t(0, 0)}, {1, 0, t(1, 0), -1 - 0x7FFFFFFF}, {0, 1, t(0, 1)}}), {{0, 0}}},
      {"Len past the end stops", Frame(w, h, 64, {{0, 0, t(0, 0)}, {1, 0, t(1, 0), 1 << 20}}), {{0, 0}}},
      {"column outside", Frame(w, h, 64, {{2, 0, t(0, 0)}, {65535, 1, t(0, 1)}, {1, 0, t(1, 0)}}), {{1, 0}}},
      {"row outside", Frame(w, h, 64, {{0, 2, t(0, 0)}, {0, 65535, t(0, 1)}, {0, 1, t(0, 1)}}), {{0, 1}}},
      {"bytes after the stream", Frame(w, h, 64, {{1, 1, t(1, 1) + B({1, 2, 3})}}), {{1, 1}}},
      {"count below the records", Frame(w, h, 64, {{0, 0, t(0, 0)}, {1, 0, t(1, 0)}}, 1), {{0, 0}}},
      {"any zlib level", Frame(w, h, 64, {{0, 1, Zlib(Tile(px, w, h, 0, 1), 1)}}), {{0, 1}}},
      {"a tile listed twice", twice, {}, true},
      {"a repeat cut short is never reached", TBytes(twice.begin(), twice.end() - 1),
       {{0, 0}, {1, 0}}},
      {"outside the picture twice",
       Frame(w, h, 64, {{2, 0, t(0, 0)}, {0, 0, t(0, 0)}, {2, 0, t(0, 0)}}), {}, true},
      {"one tile 65535 times", Frame(w, h, 64, sameTile), {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TScreenFrame f;
    ASSERT_TRUE(ParseScreenFrame(c.Frame, f));
    TBytes dest(px.size(), 0x11);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DecodeScreenFrame(f, dest.data(), dest.size()), !c.Refused);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(dest, WithTiles(px, w, h, 64, c.Applied, 0x11));
  }
}

// The buffer holds fewer rows than the frame says: rows that do not fit are left out, the
// others land where they belong. The exact-size vector lets ASan see any stray write.
TEST(ScreenFrameTest, Decode_ShortBuffer_WritesOnlyRowsInside) {
  const int w = 64, h = 64;
  const TBytes px = Picture(w, h, 7);
  const TBytes frame = Frame(w, h, 64, {{0, 0, Zlib(Tile(px, w, h, 0, 0))}});
  const size_t rowBytes = w * 3;
  TBytes dest(10 * rowBytes + 5, 0x11);  // the bottom 10 rows and a bit
  TScreenFrame f;
  ASSERT_TRUE(ParseScreenFrame(frame, f));
  DecodeScreenFrame(f, dest.data(), dest.size());
  TBytes expected(px.begin(), px.begin() + 10 * rowBytes);
  expected.resize(dest.size(), 0x11);
  EXPECT_EQ(dest, expected);
}

TEST(ScreenFrameTest, DecompressTile_ExactSizeOnly) {
  const TBytes raw = Picture(8, 8, 8);
  const TBytes z = Zlib(raw);
  TBytes bombRaw(1 << 24);
  const TBytes bomb = Zlib(bombRaw);
  const struct { const char* Name; TBytes Data; size_t Expected; bool Ok; } cases[] = {
      {"whole", z, raw.size(), true},
      {"bytes after", z + B({0xFF, 0xFF}), raw.size(), true},
      {"expects more", z, raw.size() + 1, false},
      {"expects less", z, raw.size() - 1, false},
      {"truncated", TBytes(z.begin(), z.end() - 1), raw.size(), false},
      {"raw deflate, no wrapper", TBytes(z.begin() + 2, z.end() - 4), raw.size(), false},
      {"empty", {}, raw.size(), false},
      {"bomb", bomb, raw.size(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TBytes out(c.Expected, 0x5A);  // exactly the promised room
    EXPECT_EQ(DecompressTile(c.Data.data(), c.Data.size(), out.data(), c.Expected), c.Ok);
    EXPECT_EQ(out, c.Ok ? raw : TBytes(c.Expected, 0x5A)) << "untouched on failure";
  }
}

}  // namespace
