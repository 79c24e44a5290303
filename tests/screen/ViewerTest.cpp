// The screen viewer: where a picture lands in a rectangle, which frames it takes, and what the
// bitmap and a painted canvas hold afterwards. QImage and QPainter need no display.
#include "screen/Viewer.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <optional>
#include <string>

#include "screen/Protocol.h"
#include "support/Bytes.h"

namespace {

using namespace Pondard::Screen;
using PondarTest::B;

// Pixel (x, y) of a picture built for the tests: blue x, green y, red 200.
TBytes Picture(int AWidth, int AHeight) {
  TBytes px;
  for (int y = AHeight - 1; y >= 0; --y)  // bottom row first
    for (int x = 0; x < AWidth; ++x) px += B({x & 255, y & 255, 200});
  return px;
}

TEST(ScreenViewerTest, TargetRect_FitsCentresAndRounds) {
  const struct {
    int W, H;
    TViewRect Dest;
    std::optional<TViewRect> Target;
  } cases[] = {
      {1920, 1080, {0, 0, 800, 600}, TViewRect{0, 75, 800, 525}},
      {1280, 1024, {0, 0, 800, 600}, TViewRect{25, 0, 775, 600}},
      {800, 600, {0, 0, 800, 600}, TViewRect{0, 0, 800, 600}},      // same aspect fills
      {1024, 768, {10, 20, 410, 320}, TViewRect{10, 20, 410, 320}},  // and keeps the offset
      {4, 2, {0, 0, 5, 10}, TViewRect{0, 4, 5, 6}},                  // Round(2.5) = 2
      {2, 1, {0, 0, 7, 10}, TViewRect{0, 3, 7, 7}},                  // Round(3.5) = 4
      {1, 2, {-30, -10, 20, 10}, TViewRect{-10, -10, 0, 10}},
      {3, 1, {0, 0, 10, 3}, TViewRect{0, 0, 9, 3}},  // narrower: Round(3 x 3) = 9, offset 1 div 2
      {1920, 1080, {0, 0, 0, 600}, std::nullopt},
      {1920, 1080, {0, 600, 800, 0}, std::nullopt},
      {0, 0, {0, 0, 800, 600}, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = ViewerTargetRect(c.W, c.H, c.Dest);
    ASSERT_EQ(got.has_value(), c.Target.has_value()) << c.W << "x" << c.H;
    if (got) {
      EXPECT_EQ(*got, *c.Target) << c.W << "x" << c.H << " -> " << got->Left << "," << got->Top
                                 << "," << got->Right << "," << got->Bottom;
    }
  }
}

// The bitmap must show pixel (x, y) of the buffer at (x, y), also where rows are not a whole
// number of 4-byte words (1366 x 3 = 4098).
void ExpectBitmapShows(const TScreenViewer& AViewer, const TBytes& APicture) {
  const QImage img = AViewer.Picture().Image();
  ASSERT_EQ(img.width(), AViewer.Width());
  ASSERT_EQ(img.height(), AViewer.Height());
  int wrong = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const uint8_t* p = &APicture[(size_t(img.height() - 1 - y) * img.width() + x) * 3];
      wrong += img.pixel(x, y) != qRgb(p[2], p[1], p[0]);
    }
  EXPECT_EQ(wrong, 0);
}

TEST(ScreenViewerTest, ApplyFrame_BitmapUnsheared) {
  for (const auto& [w, h] : {std::pair{1366, 5}, {3, 2}, {130, 70}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    const TBytes px = Picture(w, h);
    TScreenViewer viewer;
    ASSERT_TRUE(viewer.ApplyFrame(EncodeScreenFrame(w, h, px.data(), nullptr, KeyFrame)));
    EXPECT_EQ(viewer.FrameCount(), 1);
    ExpectBitmapShows(viewer, px);
  }
}

TEST(ScreenViewerTest, ApplyFrame_RefusedFramesChangeNothing) {
  const TBytes px = Picture(3, 2);
  TScreenViewer viewer;
  const TBytes key = EncodeScreenFrame(3, 2, px.data(), nullptr, KeyFrame);
  ASSERT_TRUE(viewer.ApplyFrame(key));
  // The key frame's one record, listed twice: at this size, and claiming another one.
  const TBytes record(key.begin() + 8, key.end());
  const TBytes refused[] = {
      B({3, 0, 2, 0, 64, 0, 0}),              // 7 bytes
      B({0, 0, 2, 0, 64, 0, 0, 0}),           // width 0
      B({0xFF, 0xFF, 0xFF, 0xFF, 64, 1, 0, 0}),  // 65535 x 65535
      B({0x01, 0x20, 1, 0, 64, 1, 0, 0}),     // 8193 wide
      B({1, 0, 0x01, 0x20, 64, 1, 0, 0}),     // 8193 high
      B({3, 0, 2, 0, 64, 1, 2, 0}) + record + record,
      B({4, 0, 2, 0, 64, 1, 2, 0}) + record + record,
  };
  for (const TBytes& frame : refused) {
    EXPECT_FALSE(viewer.ApplyFrame(frame)) << ::testing::PrintToString(frame);
    EXPECT_EQ(viewer.FrameCount(), 1);
    EXPECT_EQ(viewer.Width(), 3);
    EXPECT_EQ(viewer.Height(), 2);
    ExpectBitmapShows(viewer, px);
  }
  // 8192 itself is taken: an unchanged delta of that size gives a black picture.
  for (const auto& [w, h] : {std::pair{8192, 1}, {1, 8192}}) {
    EXPECT_TRUE(viewer.ApplyFrame(B({w & 255, w >> 8, h & 255, h >> 8, 64, 1, 0, 0})));
    EXPECT_EQ(viewer.Width(), w);
    EXPECT_EQ(viewer.Height(), h);
    EXPECT_EQ(viewer.Picture().Image().pixel(w - 1, h - 1), qRgb(0, 0, 0));
  }
}

// A delta that carries only tile (1, 0) of a 128 x 64 picture, applied to whatever came before.
TEST(ScreenViewerTest, ApplyFrame_DeltaFirstAndAfterAnotherSize) {
  const TBytes after = Picture(128, 64);
  TBytes before = after;
  for (int y = 0; y < 64; ++y) before[size_t(y) * 128 * 3 + 64 * 3] ^= 0xFF;  // column 64
  const TBytes delta = EncodeScreenFrame(128, 64, after.data(), before.data(), DeltaFrame);
  TBytes expected = after;  // left tile black, right tile from the frame
  for (int y = 0; y < 64; ++y) std::fill_n(&expected[size_t(y) * 128 * 3], 64 * 3, 0);

  TScreenViewer first;
  ASSERT_TRUE(first.ApplyFrame(delta));
  ExpectBitmapShows(first, expected);

  TScreenViewer resized;
  const TBytes small = Picture(64, 64);
  ASSERT_TRUE(resized.ApplyFrame(EncodeScreenFrame(64, 64, small.data(), nullptr, KeyFrame)));
  ASSERT_TRUE(resized.ApplyFrame(delta));
  EXPECT_EQ(resized.FrameCount(), 2);
  ExpectBitmapShows(resized, expected);
}

// A flat 4 x 2 picture into (5, 5, 45, 35) of a white 50 x 40 canvas: target (5, 10, 45, 30).
TEST(ScreenViewerTest, PaintTo_BlackBarsAndPictureInTheMiddle) {
  TBytes flat;
  for (int i = 0; i < 8; ++i) flat += B({0x30, 0x60, 0x90});
  TScreenViewer viewer;
  ASSERT_TRUE(viewer.ApplyFrame(EncodeScreenFrame(4, 2, flat.data(), nullptr, KeyFrame)));
  const TScreenPicture picture = viewer.Picture();
  QImage canvas(50, 40, QImage::Format_RGB32);
  canvas.fill(Qt::white);
  {
    QPainter painter(&canvas);
    picture.PaintTo(painter, {5, 5, 45, 35});
    picture.PaintTo(painter, {0, 0, 0, 40});    // empty: nothing
    picture.PaintTo(painter, {40, 40, 0, 0});   // inverted: nothing
    TScreenPicture().PaintTo(painter, {0, 0, 50, 40});  // no picture: nothing
  }
  // The picture handed out stays as it was while the viewer takes the next frame.
  TBytes dark(8 * 3, 0x10);
  ASSERT_TRUE(viewer.ApplyFrame(EncodeScreenFrame(4, 2, dark.data(), nullptr, KeyFrame)));
  EXPECT_EQ(picture.Image().pixel(0, 0), qRgb(0x90, 0x60, 0x30));
  EXPECT_EQ(viewer.Picture().Image().pixel(0, 0), qRgb(0x10, 0x10, 0x10));
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 50; ++x) {
      const bool inDest = x >= 5 && x < 45 && y >= 5 && y < 35;
      const bool inTarget = inDest && y >= 10 && y < 30;
      const QRgb want = inTarget ? qRgb(0x90, 0x60, 0x30) : inDest ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
      ASSERT_EQ(canvas.pixel(x, y), want) << "at " << x << "," << y;
    }
}

}  // namespace
