// Fuzz target: a screen frame as received from a peer, any bytes at all.
//
// The frame is decoded into a buffer of exactly the length it is given (ASan watches its
// edges), capped at 256 KiB so that a frame claiming 65535 x 65535 pixels exercises the rule that
// rows outside the buffer are left out. The result is checked against a second decoder written
// here from the layout alone, which inflates with zlib rather than the codec's libdeflate: the
// same tiles must land in the same places, a tile counts only if it inflates to exactly its
// size, and pixels no tile covers keep the buffer's first bytes; a frame whose records name one
// tile twice is refused with nothing written. Small pictures are then encoded again and must
// decode back to themselves.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "FuzzCheck.h"
#include "screen/Protocol.h"

namespace {

using namespace Pondard::Screen;

constexpr size_t MaxBuffer = 256 << 10;
constexpr uint8_t Untouched = 0xA5;

uint16_t Le16(const uint8_t* A) { return static_cast<uint16_t>(A[0] | A[1] << 8); }
uint32_t Le32(const uint8_t* A) { return A[0] | A[1] << 8 | A[2] << 16 | uint32_t(A[3]) << 24; }

// zlib's verdict on one tile: true when the stream ends cleanly within AExpected bytes of
// output and gives exactly that many.
bool ZlibInflateExact(const uint8_t* AData, size_t ACount, uint8_t* AOut, size_t AExpected) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<uint8_t*>(AData);
  z.avail_in = static_cast<uInt>(ACount);
  z.next_out = AOut;
  z.avail_out = static_cast<uInt>(AExpected);
  int rc = Z_OK;
  while (rc == Z_OK) rc = inflate(&z, Z_NO_FLUSH);
  const bool ok = rc == Z_STREAM_END && z.total_out == AExpected;
  inflateEnd(&z);
  return ok;
}

// The decoder as the layout reads, one record after another.
void ReferenceDecode(std::span<const uint8_t> AFrame, uint8_t* ADest, size_t ADestLen) {
  const size_t width = Le16(&AFrame[0]), height = Le16(&AFrame[2]), ts = AFrame[4];
  const size_t count = Le16(&AFrame[6]);
  size_t pos = 8;
  std::vector<uint8_t> tile(ts * ts * 3);
  for (size_t i = 0; i < count && AFrame.size() - pos >= 8; ++i) {
    const size_t col = Le16(&AFrame[pos]), row = Le16(&AFrame[pos + 2]);
    const int32_t len = static_cast<int32_t>(Le32(&AFrame[pos + 4]));
    pos += 8;
    if (len < 0 || size_t(len) > AFrame.size() - pos) return;
    const uint8_t* stream = &AFrame[pos];
    pos += size_t(len);
    if (col * ts >= width || row * ts >= height) continue;
    const size_t x0 = col * ts, y0 = row * ts;
    const size_t w = std::min(ts, width - x0), h = std::min(ts, height - y0);
    if (!ZlibInflateExact(stream, size_t(len), tile.data(), w * h * 3)) continue;
    for (size_t k = 0; k < h; ++k) {
      const size_t off = ((height - 1 - (y0 + k)) * width + x0) * 3;
      if (off + w * 3 <= ADestLen) std::memcpy(ADest + off, &tile[k * w * 3], w * 3);
    }
  }
}

// True when the records the decoder reaches (up to the count, or to one cut short) name one
// tile twice.
bool NamesATileTwice(std::span<const uint8_t> AFrame) {
  std::set<std::pair<uint16_t, uint16_t>> named;
  for (size_t i = 0, pos = 8; i < Le16(&AFrame[6]) && AFrame.size() - pos >= 8; ++i) {
    const int32_t len = static_cast<int32_t>(Le32(&AFrame[pos + 4]));
    if (len < 0 || size_t(len) > AFrame.size() - pos - 8) return false;
    if (!named.insert({Le16(&AFrame[pos]), Le16(&AFrame[pos + 2])}).second) return true;
    pos += 8 + size_t(len);
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::span<const uint8_t> input(AData, ASize);
  TScreenFrame frame;
  const bool parsed = ParseScreenFrame(input, frame);
  const bool wellFormed =
      ASize >= 8 && Le16(AData) != 0 && Le16(AData + 2) != 0 && AData[4] != 0;
  FUZZ_REQUIRE(parsed == wellFormed, "a frame parses exactly when its header is well-formed");
  if (!parsed) {
    FUZZ_REQUIRE(frame.Width == 0 && frame.Data.empty(), "a refused frame leaves nothing behind");
    return 0;
  }
  FUZZ_REQUIRE(frame.Width == Le16(AData) && frame.Height == Le16(AData + 2) &&
                   frame.TileSize == AData[4] && frame.FrameType == AData[5],
               "the header fields are as sent");
  FUZZ_REQUIRE(frame.Data.size() == ASize - 6 && std::equal(frame.Data.begin(), frame.Data.end(),
                                                            AData + 6),
               "Data is the frame from offset 6 on");

  const size_t full = size_t{frame.Width} * frame.Height * 3;
  const size_t len = std::min(full, MaxBuffer);
  std::vector<uint8_t> decoded(len, Untouched), expected(len, Untouched);
  const bool refused = NamesATileTwice(input);
  FUZZ_REQUIRE(DecodeScreenFrame(frame, decoded.data(), decoded.size()) != refused,
               "a frame is refused exactly when the records it reaches name one tile twice");
  if (!refused) ReferenceDecode(input, expected.data(), expected.size());
  FUZZ_REQUIRE(decoded == expected, "the decoder lays down the tiles zlib inflates, and no others");

  if (len == full && full <= 128 * 128 * 3) {
    const TBytes key = EncodeScreenFrame(frame.Width, frame.Height, decoded.data(), nullptr, KeyFrame);
    TScreenFrame again;
    FUZZ_REQUIRE(ParseScreenFrame(key, again), "an encoded frame parses");
    std::vector<uint8_t> back(full, 0);
    FUZZ_REQUIRE(DecodeScreenFrame(again, back.data(), back.size()), "our own frame is taken");
    FUZZ_REQUIRE(back == decoded, "a picture encoded as a key frame decodes back to itself");
    const TBytes delta =
        EncodeScreenFrame(frame.Width, frame.Height, decoded.data(), decoded.data(), DeltaFrame);
    FUZZ_REQUIRE(delta.size() == 8, "an unchanged delta is the header alone");
  }
  return 0;
}
