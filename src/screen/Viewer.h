// The latest picture of one remote peer's screen: frames applied to a pixel buffer, a bitmap
// kept in step with it, and painting scaled to fit with the aspect kept, centred on black.
#pragma once

#include <QImage>

#include <cstdint>
#include <optional>
#include <span>

#include "core/Types.h"

class QPainter;

namespace Pondard::Screen {

using Pondar::Core::TBytes;

// A rectangle as left, top, right, bottom; right and bottom lie just outside it.
struct TViewRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;
  bool operator==(const TViewRect&) const = default;
};

// Frames from peers may claim up to 65535 x 65535 pixels; a picture larger than this on
// either side (a 192 MB buffer at the limit) is refused rather than allocated.
constexpr int MaxViewerSide = 8192;

// Where a picture of APicW x APicH is drawn inside ADest: as large as fits with its aspect kept,
// centred across the spare width or height. Sizes are rounded half to even, offsets truncated,
// so every peer draws the same pixels. Nothing (nullopt) for an empty picture or an empty or
// inverted rectangle.
std::optional<TViewRect> ViewerTargetRect(int APicW, int APicH, const TViewRect& ADest);

// Plain object for the main thread only; no locks.
class TScreenViewer {
 public:
  TScreenViewer() = default;

  // Parses and decodes one encoded frame onto the picture. False, with nothing changed, for a
  // frame that does not parse or is larger than MaxViewerSide either way. A frame of another
  // size starts from a black picture of that size. Broken tiles inside a frame are skipped and
  // the frame still counts.
  bool ApplyFrame(std::span<const uint8_t> AData);
  // Resizes the picture to black of AWidth x AHeight unless it already has that size.
  // Throws std::invalid_argument outside 0..MaxViewerSide.
  void SetPictureSize(int AWidth, int AHeight);
  // Fills ADest black and draws the picture into ViewerTargetRect, smoothly scaled. Draws
  // nothing at all for an empty picture or an empty or inverted ADest.
  void PaintTo(QPainter& ACanvas, const TViewRect& ADest) const;

  int FrameCount() const { return FFrameCount; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  // The picture top-down as Qt draws it; null before the first frame.
  const QImage& Bitmap() const { return FBitmap; }

 private:
  void UpdateBitmap();

  QImage FBitmap;  // 32-bit xRGB: the format QPainter scales fastest
  TBytes FPixels;  // the frame protocol's layout: blue-green-red, tight rows, bottom row first
  int FWidth = 0;
  int FHeight = 0;
  int FFrameCount = 0;
};

}  // namespace Pondard::Screen
