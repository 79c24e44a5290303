// The turn of a PipeWire picture into the frame's pixels: each format's byte order, and buffers
// whose geometry does not fit the memory they come in.
#include <gtest/gtest.h>
#include <spa/param/video/raw.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "screen/PipeWireStream.h"

namespace {

using Pondard::Screen::ChannelOffsetsOf;
using Pondard::Screen::ConvertVideoFrame;
using Pondard::Screen::TVideoFrame;

// 9 x 3 pixels: the SIMD path (six pixels and more) and the tail of a row are both taken.
constexpr int W = 9, H = 3, Stride = W * 4 + 8;

uint8_t Colour(int AX, int AY, int AChannel) {
  return uint8_t(AX * 25 + AY * 7 + AChannel * 90);
}

TEST(PipeWireStreamTest, EachFormat_BlueGreenRedRowsBottomUp) {
  const struct {
    const char* Name;  // bytes in memory, as PipeWire names its formats
    uint32_t Format;
  } cases[] = {{"BGRx", SPA_VIDEO_FORMAT_BGRx}, {"BGRA", SPA_VIDEO_FORMAT_BGRA},
               {"RGBx", SPA_VIDEO_FORMAT_RGBx}, {"RGBA", SPA_VIDEO_FORMAT_RGBA},
               {"xRGB", SPA_VIDEO_FORMAT_xRGB}, {"ARGB", SPA_VIDEO_FORMAT_ARGB},
               {"xBGR", SPA_VIDEO_FORMAT_xBGR}, {"ABGR", SPA_VIDEO_FORMAT_ABGR}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto channels = ChannelOffsetsOf(c.Format);
    ASSERT_TRUE(channels);
    std::vector<uint8_t> memory(5 + size_t(Stride) * H, 0xEE), pixels(size_t(W) * H * 3, 0);
    std::vector<uint8_t> expected;
    for (int y = H - 1; y >= 0; --y)
      for (int x = 0; x < W; ++x)
        for (int channel : {2, 1, 0}) expected.push_back(Colour(x, y, channel));  // B, G, R
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        for (int i = 0; i < 4; ++i) {
          const char letter = c.Name[i];
          memory[5 + size_t(y) * Stride + x * 4 + i] = letter == 'R'   ? Colour(x, y, 0)
                                                       : letter == 'G' ? Colour(x, y, 1)
                                                       : letter == 'B' ? Colour(x, y, 2)
                                                                       : 0x5A;
        }
    ASSERT_TRUE(ConvertVideoFrame({memory.data(), memory.size(), 5, Stride, W, H, *channels},
                                  pixels.data()));
    EXPECT_EQ(pixels, expected);
  }
  for (const uint32_t other : {SPA_VIDEO_FORMAT_RGB, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_I420,
                               SPA_VIDEO_FORMAT_xRGB_210LE, SPA_VIDEO_FORMAT_UNKNOWN})
    EXPECT_FALSE(ChannelOffsetsOf(other)) << other;
}

TEST(PipeWireStreamTest, GeometryOutsideTheMemory_RefusedWithoutWriting) {
  constexpr size_t Tight = size_t(W) * 4 * H;
  const struct {
    const char* Name;
    size_t Size, Offset;
    int32_t Stride;
    bool Ok;
  } cases[] = {
      {"tight rows, stride 0", Tight, 0, 0, true},
      {"last row without its padding", size_t(Stride) * (H - 1) + W * 4 + 3, 3, Stride, true},
      {"last row one byte short", Tight - 1, 0, 0, false},
      {"offset past the end", Tight, Tight + 1, 0, false},
      {"offset leaves too little", Tight + 3, 4, 0, false},
      {"rows overlapping", Tight, 0, W * 4 - 1, false},
      {"bottom-up stride", Tight, 0, -W * 4, false},
      {"stride past any memory", Tight, 0, std::numeric_limits<int32_t>::max(), false},
      {"offset near the end of the address space", Tight, std::numeric_limits<size_t>::max(), 0,
       false},
  };
  std::vector<uint8_t> memory(size_t(Stride) * H + 16, 0x11);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<uint8_t> pixels(size_t(W) * H * 3, 0xAB);
    EXPECT_EQ(
        ConvertVideoFrame({memory.data(), c.Size, c.Offset, c.Stride, W, H, {}}, pixels.data()),
        c.Ok);
    if (!c.Ok) {
      EXPECT_EQ(pixels, std::vector<uint8_t>(pixels.size(), 0xAB));
    }
  }
}

}  // namespace
