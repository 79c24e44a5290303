// Receiving peers' screens: a frame is taken only from the peer that discovery knows at the
// address it came from, decoded on a thread of its own, and the finished picture handed to the
// window, whose thread only swaps it in.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/ScreenBroadcaster.h"
#include "app/Sinks.h"
#include "core/Types.h"
#include "screen/Picture.h"

namespace Pondard::App {

using Pondar::Core::TPeerInfo;

// A decoder for one more peer's screen; what can show pictures knows how to make them.
using TFrameDecoderFactory = std::function<std::unique_ptr<Pondard::Screen::TFrameDecoder>()>;

// Start and Stop on the engine's owner thread; OnFrame and OnPeerGone on any thread (the
// server's frame receivers, discovery). Hosts that are no known peer, and names that are not
// the one discovery knows at the sender's address, cost nothing but the frame's bytes; each
// known address has at most one viewer, which goes when its peer does, and waits with at most
// MaxFramesQueuedPerPeer frames (MaxFramesQueued of all peers, core/Limits.h). Frames a viewer
// cannot take are dropped: the sender's next key frame repairs what a dropped delta leaves
// stale. Pictures reach the window through the delivery queue, at most one per peer waiting
// there, always the newest.
class TScreenReceiver {
 public:
  TScreenReceiver(TSinkRoute ARoute, TPeerListSource APeers);
  ~TScreenReceiver();
  TScreenReceiver(const TScreenReceiver&) = delete;
  TScreenReceiver& operator=(const TScreenReceiver&) = delete;

  // How frames become pictures, set while stopped; without it Start starts nothing.
  void SetDecoders(TFrameDecoderFactory AFactory) { FDecoders = std::move(AFactory); }
  // Starts the decoding thread; one that cannot be had is warned of, and frames are dropped.
  void Start();
  // Ends the decoding thread once the frame it decodes is done (a second at most, for the
  // largest picture), drops the frames waiting and every viewer, and tells the window that
  // each is gone. Nothing reaches the window from here on until the next Start.
  void Stop();

  enum class TVerdict { Queued, NotThePeerAtThatAddress, QueueFull, Stopped };
  // A frame as the server received it from APeerIP. Never waits for a decode.
  TVerdict OnFrame(const RawUtf8& APeerIP, const RawUtf8& APeerName, TBytes AData);
  // The peer has left discovery's table: its viewer goes, with the frames it waited for.
  void OnPeerGone(const TPeerInfo& APeer);
  // Peers that have a viewer. Any thread.
  size_t Viewers() const;

 private:
  // Where the newest picture of one peer waits for the window; shared with the delivery that
  // takes it, so that a busy window never has more than one picture per peer queued.
  struct TPictureSlot {
    std::mutex Lock;  // guards the two below
    Pondard::Screen::TScreenPicture Latest;
    bool Queued = false;
  };
  struct TPeerScreen {
    RawUtf8 Name;
    std::unique_ptr<Pondard::Screen::TFrameDecoder> Viewer;  // the decoding thread's only
    std::shared_ptr<TPictureSlot> Slot = std::make_shared<TPictureSlot>();
    size_t Waiting = 0;  // its frames in FFrames
  };
  struct TWaitingFrame {
    std::shared_ptr<TPeerScreen> Screen;
    TBytes Data;
  };

  void DecodeLoop();
  // Decodes one frame (FLock not held) and, if its peer still has this viewer, queues the
  // picture for the window (FLock held).
  void Decode(TWaitingFrame& AFrame, std::unique_lock<std::mutex>& ALock);
  void Publish(const TPeerScreen& AScreen, Pondard::Screen::TScreenPicture APicture);
  void SayGone(const RawUtf8& AName);

  const TSinkRoute FRoute;
  const TPeerListSource FPeers;
  TFrameDecoderFactory FDecoders;  // owner thread, while stopped; read under FLock while running

  mutable std::mutex FLock;  // guards everything below but FThread
  std::condition_variable FChanged;
  bool FRunning = false;
  bool FStopping = false;
  std::map<RawUtf8, std::shared_ptr<TPeerScreen>> FScreens;
  std::deque<TWaitingFrame> FFrames;
  std::thread FThread;  // owner thread only
};

}  // namespace Pondard::App
