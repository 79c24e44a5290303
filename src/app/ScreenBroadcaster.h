// Broadcasting the local screen: the capture thread over a screen source, and each frame it
// takes sent to every peer, one frame at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/Sinks.h"
#include "core/Types.h"

namespace Pondar::Net {
class TPeerOutbox;
}
namespace Pondard::Screen {
class TScreenSource;
class TScreenCaptureThread;
}  // namespace Pondard::Screen

namespace Pondard::App {

// Where the screen to broadcast comes from; nullptr, with the reason in AWhy, when there is none.
// The window's program hands in the desktop's own (Pondard::UI::DesktopScreenSource).
using TScreenSourceFactory =
    std::function<std::unique_ptr<Pondard::Screen::TScreenSource>(std::string& AWhy)>;
// The peers known now; empty while discovery does not run. Any thread.
using TPeerListSource = std::function<Pondar::Core::TPeerInfoDynArray()>;

// Start, Stop and SetSource on the engine's owner thread; OnCaptured on the capture thread (or
// a test standing in for it). Frames go out through the engine's outbox, each peer on its own
// queue: a peer still taking the last frame (it does not answer, or reads slowly) is passed
// over for the next one, and holds up neither the other peers nor the capture.
class TScreenBroadcaster {
 public:
  // AOutbox: the engine's, which frames go through.
  TScreenBroadcaster(TSinkRoute ARoute, TPeerListSource APeers,
                     std::shared_ptr<Pondar::Net::TPeerOutbox> AOutbox);
  ~TScreenBroadcaster();
  TScreenBroadcaster(const TScreenBroadcaster&) = delete;
  TScreenBroadcaster& operator=(const TScreenBroadcaster&) = delete;

  // The screen to capture, set while stopped. Without one, a capture asked for is warned of as
  // unavailable.
  void SetSource(TScreenSourceFactory AFactory);
  // AName goes with every frame sent from now on. With ACapture the source is opened and the
  // capture thread started, which the log says, naming the screen; a screen that cannot be had, or
  // a thread that cannot be started, is warned of, and the rest of the engine runs without.
  void Start(const RawUtf8& AName, bool ACapture);
  // Ends the capture thread and waits for it; a frame on its way is left to its sender.
  void Stop();

  // A frame of the local screen: queued for every peer that has taken the last one, or
  // dropped when no peer is known.
  void OnCaptured(TBytes AData);
  // True while some frame is still on its way to some peer.
  bool Sending() const { return FState->Sending.load() != 0; }
  // Frames in a row that some peer could not be sent (it failed, or was still taking the last).
  int32_t Fails() const { return FState->Fails.load(); }

  static constexpr int CaptureIntervalMs = 200;

 private:
  struct TSendState {
    std::atomic<int32_t> Sending{0};  // frames whose rounds are not over
    std::atomic<int32_t> Fails{0};
  };

  const TSinkRoute FRoute;
  const TPeerListSource FPeers;
  const std::shared_ptr<TSendState> FState;
  const std::shared_ptr<Pondar::Net::TPeerOutbox> FOutbox;
  TScreenSourceFactory FSource;
  RawUtf8 FName;  // written by Start, before the capture thread starts
  std::unique_ptr<Pondard::Screen::TScreenCaptureThread> FCapture;  // while capturing
};

}  // namespace Pondard::App
