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
      bool failed = false;
      try {
        CaptureFrame();
      } catch (const std::exception& AError) {
        std::snprintf(what, sizeof what, "%s", AError.what());
        failed = true;
      } catch (...) {
        failed = true;
      }
      if (failed) ReportOnce(RawUtf8("Screen capture: ") + what);
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
    FPrevPixels.clear();
    FFrameCounter = 0;
  }

  // Nothing is made of a failed copy: a frame of stale or half-written memory would reach every
  // receiver, and as the delta reference it would spoil the frames after it too.
  if (!FSource->Grab(FPixels.data(), width, height)) return;

  const bool key = FFrameCounter % KKeyFrameEvery == 0 || FPrevPixels.size() != size;
  TBytes frame = EncodeScreenFrame(static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                                   FPixels.data(), key ? nullptr : FPrevPixels.data(),
                                   key ? KeyFrame : DeltaFrame);

  // The picture just encoded becomes the reference. Swapping spares copying the whole screen:
  // the next Grab writes every byte of FPixels anyway.
  if (FPrevPixels.size() == size) {
    FPixels.swap(FPrevPixels);
  } else {
    FPrevPixels = FPixels;
  }
  ++FFrameCounter;
  OnFrame(std::move(frame));
  FLastProblem.clear();
}

}  // namespace Pondard::Screen
