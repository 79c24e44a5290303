#include "screen/Viewer.h"

#include <QPainter>
#include <utility>

#include "core/Limits.h"
#include "screen/Protocol.h"

namespace Pondard::Screen {

std::optional<TViewRect> ViewerTargetRect(int APicW, int APicH, const TViewRect& ADest) {
  if (APicW <= 0 || APicH <= 0) return std::nullopt;
  // In 64 bits: a rectangle from INT32_MIN to INT32_MAX is 2^32 wide.
  const int64_t dw = int64_t{ADest.Right} - ADest.Left, dh = int64_t{ADest.Bottom} - ADest.Top;
  if (dw <= 0 || dh <= 0) return std::nullopt;
  const double a = static_cast<double>(APicW) / APicH;
  const double r = static_cast<double>(dw) / static_cast<double>(dh);
  if (a > r) {
    // Wider than the rectangle: full width, bars above and below. Never more than dh, since
    // dw / a < dh here.
    const int64_t drawn = Pondar::Core::RoundHalfEven(static_cast<double>(dw) / a);
    const int64_t top = ADest.Top + (dh - drawn) / 2;
    return TViewRect{ADest.Left, static_cast<int32_t>(top), ADest.Right,
                     static_cast<int32_t>(top + drawn)};
  }
  const int64_t drawn = Pondar::Core::RoundHalfEven(static_cast<double>(dh) * a);
  const int64_t left = ADest.Left + (dw - drawn) / 2;
  return TViewRect{static_cast<int32_t>(left), ADest.Top, static_cast<int32_t>(left + drawn),
                   ADest.Bottom};
}

bool TScreenViewer::ApplyFrame(std::span<const uint8_t> AData) {
  TScreenFrame frame;
  if (!ParseScreenFrame(AData, frame)) return false;
  if (frame.Width > Pondar::Core::Limits::MaxViewerSide ||
      frame.Height > Pondar::Core::Limits::MaxViewerSide)
    return false;
  if (frame.Width == FWidth && frame.Height == FHeight) {
    if (!DecodeScreenFrame(frame, FPixels.data(), FPixels.size())) return false;
  } else {
    // A new size starts from black, and the old picture stays until the frame is accepted.
    TBytes pixels(size_t{frame.Width} * frame.Height * 3, 0);
    if (!DecodeScreenFrame(frame, pixels.data(), pixels.size())) return false;
    FPixels = std::move(pixels);
    FWidth = frame.Width;
    FHeight = frame.Height;
    FBitmap = QImage();
  }
  UpdateBitmap();
  ++FFrameCount;
  return true;
}

void TScreenViewer::UpdateBitmap() {
  // A picture handed out still shares the last image: this frame gets an image of its own
  // rather than a copy of pixels that are about to be overwritten.
  if (FBitmap.isNull() || !FBitmap.isDetached())
    FBitmap = QImage(FWidth, FHeight, QImage::Format_RGB32);
  const size_t rowBytes = size_t(FWidth) * 3;
  for (int y = 0; y < FHeight; ++y) {
    // The buffer is bottom-up, the image top-down; each has its own row length (the image's
    // rows are 4-byte pixels, the buffer's tight 3-byte ones), so rows are taken one by one.
    const uint8_t* src = FPixels.data() + size_t(FHeight - 1 - y) * rowBytes;
    auto* dst = reinterpret_cast<QRgb*>(FBitmap.scanLine(y));
    for (int x = 0; x < FWidth; ++x, src += 3) dst[x] = qRgb(src[2], src[1], src[0]);
  }
}

TScreenPicture TScreenViewer::Picture() const {
  TScreenPicture picture;
  if (!FBitmap.isNull()) picture.FImage = std::make_shared<const QImage>(FBitmap);
  return picture;
}

int TScreenPicture::Width() const {
  return FImage ? FImage->width() : 0;
}

int TScreenPicture::Height() const {
  return FImage ? FImage->height() : 0;
}

const QImage& TScreenPicture::Image() const {
  static const QImage none;
  return FImage ? *FImage : none;
}

void TScreenPicture::PaintTo(QPainter& ACanvas, const TViewRect& ADest) const {
  const std::optional<TViewRect> target = ViewerTargetRect(Width(), Height(), ADest);
  if (!target) return;
  ACanvas.save();
  ACanvas.fillRect(QRectF(ADest.Left, ADest.Top, double(ADest.Right) - ADest.Left,
                          double(ADest.Bottom) - ADest.Top),
                   Qt::black);
  ACanvas.setRenderHint(QPainter::SmoothPixmapTransform);
  ACanvas.drawImage(QRectF(target->Left, target->Top, double(target->Right) - target->Left,
                           double(target->Bottom) - target->Top),
                    *FImage);
  ACanvas.restore();
}

}  // namespace Pondard::Screen
