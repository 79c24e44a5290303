// Broadcasting the local screen: the capture thread over a screen source, and each frame it
// takes sent to every peer, one frame at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/ShortLivedThreads.h"
#include "app/Sinks.h"
#include "core/Types.h"

namespace Pondard::Screen {
class TScreenSource;
class TScreenCaptureThread;
}  // namespace Pondard::Screen

namespace Pondard::App {

// Where the screen to broadcast comes from; nullptr, with the reason in AWhy, when there is none.
using TScreenSourceFactory =
    std::function<std::unique_ptr<Pondard::Screen::TScreenSource>(std::string& AWhy)>;
// The peers known now; empty while discovery does not run. Any thread.
using TPeerListSource = std::function<Pondar::Core::TPeerInfoDynArray()>;

// The screen of the desktop this peer runs on, by Pondard::Screen::OpenDesktopScreenSource: the
// X display, or the desktop portal, handed ARestoreToken. The portal's token is kept here rather
// than in the settings, which the window replaces on Apply: every share spends the token it was
// given, so the one that replaces it is what the next start needs, and it goes to the settings
// file at once (SaveScreenRestoreToken), for the next run of the program. A token that cannot be
// written is reported through AReport.
TScreenSourceFactory DesktopScreenSource(std::string ARestoreToken,
                                         Pondar::Core::TOnWorkerProblem AReport);

// Start, Stop and SetSource on the engine's owner thread; OnCaptured on the capture thread (or
// a test standing in for it). Frames go out on a sender thread of their own, which owns the
// frame and the peer list it sends to and shares only the counters, so it may outlive the
// broadcaster. The peers are sent to one after another: one that does not answer holds up the
// others and the next frame (dropped meanwhile), never the capture.
class TScreenBroadcaster {
 public:
  // ARestoreToken: the desktop portal's token from the settings, for the desktop's own screen.
  TScreenBroadcaster(TSinkRoute ARoute, TPeerListSource APeers, std::string ARestoreToken);
  ~TScreenBroadcaster();
  TScreenBroadcaster(const TScreenBroadcaster&) = delete;
  TScreenBroadcaster& operator=(const TScreenBroadcaster&) = delete;

  // The screen to capture, set while stopped; the desktop's own (DesktopScreenSource) when never
  // set.
  void SetSource(TScreenSourceFactory AFactory);
  // AName goes with every frame sent from now on. With ACapture the source is opened and the
  // capture thread started, which the log says, naming the screen; a screen that cannot be had, or
  // a thread that cannot be started, is warned of, and the rest of the engine runs without.
  void Start(const RawUtf8& AName, bool ACapture);
  // Ends the capture thread and waits for it; a frame on its way is left to its sender.
  void Stop();

  // A frame of the local screen: sent to every peer on one sender thread, or dropped while the
  // previous frame is still on its way, or when no peer is known.
  void OnCaptured(TBytes AData);
  bool Sending() const { return FState->Sending.load() != 0; }
  // Send passes in a row in which some peer could not be sent the frame.
  int32_t Fails() const { return FState->Fails.load(); }
  // Blocks until no sender runs or ATimeout has passed; true when none runs.
  bool WaitIdle(std::chrono::milliseconds ATimeout) { return FSenders->WaitIdle(ATimeout); }

  static constexpr int CaptureIntervalMs = 200;

 private:
  struct TSendState {
    std::atomic<int32_t> Sending{0};  // 1 while a frame is on its way to the peers
    std::atomic<int32_t> Fails{0};
  };

  const TSinkRoute FRoute;
  const TPeerListSource FPeers;
  const std::shared_ptr<TSendState> FState;
  const std::shared_ptr<TShortLivedThreads> FSenders;
  TScreenSourceFactory FSource;
  RawUtf8 FName;  // written by Start, before the capture thread starts
  std::unique_ptr<Pondard::Screen::TScreenCaptureThread> FCapture;  // while capturing
};

}  // namespace Pondard::App
