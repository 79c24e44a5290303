// A peer's screen as the window draws it, and what turns the peer's frames into one. The engine
// only passes pictures along and never looks inside, so this header names no toolkit: a peer
// without a window links no picture code at all.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

class QImage;
class QPainter;

namespace Pondard::Screen {

// A rectangle as left, top, right, bottom; right and bottom lie just outside it.
struct TViewRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;
  bool operator==(const TViewRect&) const = default;
};

// A finished picture of a peer's screen, as the window draws it. Never changed once made;
// copies share its pixels, so handing one from the thread that decoded it to the window's
// thread costs nothing and the two never touch the same pixels while one writes. Made, sized
// and drawn by the viewer's code (Viewer.h); made empty, copied and moved anywhere.
class TScreenPicture {
 public:
  TScreenPicture() = default;  // no picture

  bool Empty() const { return !FImage; }
  int Width() const;
  int Height() const;
  // Top-down as Qt draws it; null for no picture.
  const QImage& Image() const;
  // Fills ADest black and draws the picture into ViewerTargetRect, smoothly scaled. Draws
  // nothing at all for no picture or an empty or inverted ADest.
  void PaintTo(QPainter& ACanvas, const TViewRect& ADest) const;

 private:
  friend class TScreenViewer;
  // 32-bit xRGB, the format QPainter scales fastest; null for no picture, never a null image.
  std::shared_ptr<const QImage> FImage;
};

// Turns one peer's frames into pictures: each frame applied to what the ones before left. For
// one thread at a time.
class TFrameDecoder {
 public:
  virtual ~TFrameDecoder() = default;
  // False, with nothing changed, for a frame that cannot be applied.
  virtual bool ApplyFrame(std::span<const uint8_t> AData) = 0;
  // The picture as the last accepted frame left it; empty before the first.
  virtual TScreenPicture Picture() const = 0;
};

}  // namespace Pondard::Screen
