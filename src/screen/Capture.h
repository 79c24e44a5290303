// The worker that, while this peer broadcasts its screen, copies the primary screen at a fixed
// pause and hands each picture on as an encoded frame.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/Types.h"
#include "core/Worker.h"
#include "screen/Protocol.h"

namespace Pondard::Screen {

using Pondar::Core::RawUtf8;

// Thrown by a screen source that cannot give pictures for a reason the user has to know about
// and that no retry on our side mends: the user declined to share the screen, the desktop ended
// the share. The message says which, in words for the user.
class TScreenUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a broadcast that cannot start or go on is told to the user: "<this><reason>".
inline constexpr const char* ScreenUnavailablePrefix = "Screen broadcasting is unavailable: ";

// Where pictures of the screen come from: the X server, the desktop portal of a Wayland
// session, or a script in tests. Called only on the capture thread, one call at a time; it may
// block for as long as one copy of the screen takes. An exception thrown by one of the calls
// counts as a failed capture (see the thread below).
class TScreenSource {
 public:
  virtual ~TScreenSource() = default;
  // Which screen this is, for the log ("X11 display :0"); may be empty. Any thread.
  virtual std::string Describe() const { return {}; }
  // The primary screen's size now. False: not known at the moment (this capture is skipped).
  virtual bool Size(int& AWidth, int& AHeight) = 0;
  // Copies the whole primary screen of AWidth x AHeight, the size Size gave last, into APixels
  // (AWidth * AHeight * 3 bytes: blue-green-red, rows tight, bottom row first), writing every
  // byte. False when it could not be copied, the screen having changed size meanwhile for one;
  // APixels may then hold anything.
  virtual bool Grab(uint8_t* APixels, int AWidth, int AHeight) = 0;
  // True when the screen is known to show exactly what the last successful Grab copied (a
  // compositor that sends pictures only when something changed has sent none since). The
  // capture thread then neither grabs nor compares. False when the source cannot tell.
  virtual bool SameAsLastGrab() { return false; }
};

// One encoded frame (see Protocol.h), a new array each time: the handler may keep it.
using TOnScreenFrameReady = std::function<void(TBytes AData)>;

// Copies the screen from its source, encodes it and calls OnFrame, then pauses AIntervalMs, until
// terminated. The first capture is at once; the first frame after start or after a change of the
// screen's size is a key frame, then every 25th; the others carry only the tiles that differ from
// the previous frame. OnFrame runs on the capture thread and must return quickly. While OnFrame
// is unset the thread only pauses, and the source is not called at all.
//
// Owner's protocol: construct, set OnFrame and OnProblem, Start; Terminate (which cuts the pause
// short) and WaitFor, or just destroy it. Stopping waits for at most one capture.
//
// A screen the source knows to be unchanged (SameAsLastGrab) costs next to nothing: the frame is
// the 8 header bytes, and a key frame due meanwhile is the last key frame again when the
// picture has not changed since it was made.
//
// A capture that fails makes no frame, and the next one is tried after the pause as usual:
//  - a screen that cannot be copied (Grab false, or Size false) gives no frame, silently; the
//    last picture sent stays the reference for the next delta frame, so no receiver ever sees
//    memory that was not a screen;
//  - TScreenUnavailable is reported as ScreenUnavailablePrefix + its message, and the next frame
//    made, should the source come back, is a key frame;
//  - another exception (a lost display, memory running out) is reported through OnProblem as
//    "Screen capture: <message>";
//  - a screen too large for a frame (see FitsScreenFrame) is refused with a report that says so,
//    and capturing goes on, so that a later change to a size that fits is broadcast.
// A report is not repeated while the captures keep failing with the same message; once a frame
// has been made again, the next failure is reported anew.
class TScreenCaptureThread : public Pondar::Core::TWorkerThread {
 public:
  TScreenCaptureThread(int AIntervalMs, std::unique_ptr<TScreenSource> ASource);
  ~TScreenCaptureThread() override;

  // Set before Start and not changed while the thread runs.
  TOnScreenFrameReady OnFrame;

 protected:
  void Execute() override;

 private:
  // One capture, as the class comment says; throws what the source, the encoder or OnFrame throw.
  void CaptureFrame();
  // Reports AMessage unless it is the one reported last since the last frame.
  void ReportOnce(const RawUtf8& AMessage);
  // The next frame is a key frame, of a picture grabbed anew.
  void ForgetPicture();

  const int FIntervalMs;
  // Only the capture thread touches these once it runs.
  int FFrameCounter = 0;  // frames encoded since start or the last change of size
  int FWidth = 0;
  int FHeight = 0;
  TBytes FPixels;      // the capture being made
  TBytes FPrevPixels;  // the picture last encoded; empty until then and after a change of size
  TBytes FLastKeyFrame;          // the last key frame made, while FPrevPixels is still its picture
  bool FPrevIsLastGrab = false;  // FPrevPixels holds what the source's last Grab copied
  RawUtf8 FLastProblem;
  const std::unique_ptr<TScreenSource> FSource;
};

}  // namespace Pondard::Screen
