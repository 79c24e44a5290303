#include "screen/Capture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <utility>

namespace Pondard::Screen {

namespace {

// A key frame every this many frames, so that a receiver who joined late or dropped a frame
// has the whole picture again within a few seconds.
constexpr int KKeyFrameEvery = 25;

}  // namespace

TScreenCaptureThread::TScreenCaptureThread(int AIntervalMs, std::unique_ptr<TScreenSource> ASource)
    : TWorkerThread("Screen capture"), FIntervalMs(AIntervalMs), FSource(std::move(ASource)) {}

TScreenCaptureThread::~TScreenCaptureThread() {
  Terminate();
  WaitFor();
}

void TScreenCaptureThread::Execute() {
  const std::chrono::milliseconds pause(std::max(FIntervalMs, 0));
  while (!Terminated()) {
    if (OnFrame) {
      // Caught here rather than in the base: one failed capture must not end the broadcast.
      // The message is copied out while the exception is alive, without allocating.
      char what[512] = "unknown error";
      enum { None, Unavailable, Failed } failure = None;
      try {
        CaptureFrame();
      } catch (const TScreenUnavailable& AError) {
        std::snprintf(what, sizeof what, "%s", AError.what());
        failure = Unavailable;
      } catch (const std::exception& AError) {
        std::snprintf(what, sizeof what, "%s", AError.what());
        failure = Failed;
      } catch (...) {
        failure = Failed;
      }
      if (failure == Unavailable) {
        // Should the source come back, its first frame is whole: a viewer may have been
        // started or restarted meanwhile.
        ForgetPicture();
        ReportOnce(RawUtf8(ScreenUnavailablePrefix) + what);
      } else if (failure == Failed) {
        ReportOnce(RawUtf8("Screen capture: ") + what);
      }
    }
    if (!Pause(pause)) break;
  }
}

void TScreenCaptureThread::ReportOnce(const RawUtf8& AMessage) {
  // A screen that keeps failing would otherwise repeat the same line five times a second.
  if (AMessage == FLastProblem) return;
  FLastProblem = AMessage;
  ReportProblem(AMessage);
}

void TScreenCaptureThread::ForgetPicture() {
  FPrevPixels.clear();
  FLastKeyFrame.clear();
  FPrevIsLastGrab = false;
  FFrameCounter = 0;
}

void TScreenCaptureThread::CaptureFrame() {
  int width = 0, height = 0;
  if (!FSource->Size(width, height) || width <= 0 || height <= 0) return;

  if (!FitsScreenFrame(width, height)) {
    // Forget the last picture as a change of size would: when a size that fits comes back,
    // its first frame is a key frame, and the memory of the old pictures is given back now.
    FWidth = width;
    FHeight = height;
    TBytes().swap(FPixels);
    TBytes().swap(FPrevPixels);
    TBytes().swap(FLastKeyFrame);
    FPrevIsLastGrab = false;
    FFrameCounter = 0;
    ReportOnce("Screen of " + std::to_string(width) + " × " + std::to_string(height) +
               " pixels is too large to broadcast");
    return;
  }

  FWidth = width;
  FHeight = height;
  const size_t size = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
  if (FPixels.size() != size) {
    FPixels.resize(size);
    ForgetPicture();
  }

  const bool key = FFrameCounter % KKeyFrameEvery == 0 || FPrevPixels.size() != size;
  TBytes frame;
  if (FPrevIsLastGrab && FPrevPixels.size() == size && FSource->SameAsLastGrab()) {
    // The picture last encoded is still the screen: nothing to copy, turn or compare.
    if (!key) {
      frame = EncodeScreenFrame(static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                                FPrevPixels.data(), FPrevPixels.data(), DeltaFrame);
    } else if (!FLastKeyFrame.empty()) {
      frame = FLastKeyFrame;
    } else {
      frame = EncodeScreenFrame(static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                                FPrevPixels.data(), nullptr, KeyFrame);
      FLastKeyFrame = frame;
    }
  } else {
    // Nothing is made of a failed copy: a frame of stale or half-written memory would reach
    // every receiver, and as the delta reference it would spoil the frames after it too.
    FPrevIsLastGrab = false;  // until the new picture has been encoded and kept
    if (!FSource->Grab(FPixels.data(), width, height)) return;
    frame = EncodeScreenFrame(static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                              FPixels.data(), key ? nullptr : FPrevPixels.data(),
                              key ? KeyFrame : DeltaFrame);
    // The picture just encoded becomes the reference. Swapping spares copying the whole
    // screen: the next Grab writes every byte of FPixels anyway.
    if (FPrevPixels.size() == size) {
      FPixels.swap(FPrevPixels);
    } else {
      FPrevPixels = FPixels;
    }
    FPrevIsLastGrab = true;
    // Kept for a screen that then stays unchanged; compressed, it is a fraction of the picture.
    if (key) {
      FLastKeyFrame = frame;
    } else {
      FLastKeyFrame.clear();
    }
  }
  ++FFrameCounter;
  OnFrame(std::move(frame));
  FLastProblem.clear();
}

}  // namespace Pondard::Screen
