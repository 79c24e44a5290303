// The latest picture of one remote peer's screen: frames applied to a pixel buffer, a picture
// made of it for the window, and painting scaled to fit with the aspect kept, centred on black.
#pragma once

#include <QImage>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "core/Types.h"
#include "screen/Picture.h"

namespace Pondard::Screen {

using Pondar::Core::TBytes;

// Where a picture of APicW x APicH is drawn inside ADest: as large as fits with its aspect kept,
// centred across the spare width or height. Sizes are rounded half to even, offsets truncated,
// so every peer draws the same pixels. Nothing (nullopt) for an empty picture or an empty or
// inverted rectangle.
std::optional<TViewRect> ViewerTargetRect(int APicW, int APicH, const TViewRect& ADest);

// The latest picture of one remote peer's screen as its frames build it: each frame decoded
// onto a pixel buffer, and a picture made of the buffer. A plain object without locks, for one
// thread at a time: the engine decodes on a thread of its own and hands Picture() to the
// window, whose thread only draws it.
class TScreenViewer : public TFrameDecoder {
 public:
  TScreenViewer() = default;

  // Parses and decodes one encoded frame onto the picture. False, with nothing changed, for a
  // frame that does not parse, is larger than MaxViewerSide either way, or breaks the decoder's
  // budget (a tile listed twice). A frame of another size starts from a black picture of that
  // size. Broken tiles inside a frame are skipped and the frame still counts.
  bool ApplyFrame(std::span<const uint8_t> AData) override;
  // The picture as the last accepted frame left it; empty before the first.
  TScreenPicture Picture() const override;

  int FrameCount() const { return FFrameCount; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }

 private:
  void UpdateBitmap();

  QImage FBitmap;  // the picture last made; shared with the pictures handed out
  TBytes FPixels;  // the frame protocol's layout: blue-green-red, tight rows, bottom row first
  int FWidth = 0;
  int FHeight = 0;
  int FFrameCount = 0;
};

}  // namespace Pondard::Screen
