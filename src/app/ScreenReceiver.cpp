#include "app/ScreenReceiver.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "core/Limits.h"
#include "net/Messages.h"

namespace Pondard::App {

using Pondard::Screen::TScreenPicture;

namespace {

// The name discovery knows at AIp: its first entry there. A host that announces several names
// is one sender all the same, and gets one viewer.
const TPeerInfo* PeerAt(const Pondar::Core::TPeerInfoDynArray& APeers, const RawUtf8& AIp) {
  const auto it = std::find_if(APeers.begin(), APeers.end(),
                               [&](const TPeerInfo& APeer) { return APeer.IP == AIp; });
  return it == APeers.end() ? nullptr : &*it;
}

}  // namespace

TScreenReceiver::TScreenReceiver(TSinkRoute ARoute, TPeerListSource APeers)
    : FRoute(std::move(ARoute)), FPeers(std::move(APeers)) {}

TScreenReceiver::~TScreenReceiver() {
  Stop();
}

void TScreenReceiver::Start() {
  std::lock_guard lock(FLock);
  if (FRunning || !FDecoders) return;
  FStopping = false;
  try {
    FThread = std::thread([this] { DecodeLoop(); });
    FRunning = true;
  } catch (const std::system_error& AError) {
    FRoute.Warn(std::string("Screen receiver cannot start: ") + AError.what());
  }
}

void TScreenReceiver::Stop() {
  {
    std::lock_guard lock(FLock);
    if (!FRunning) return;
    FRunning = false;
    FStopping = true;
  }
  FChanged.notify_all();
  FThread.join();
  std::vector<RawUtf8> gone;
  {
    std::lock_guard lock(FLock);
    FFrames.clear();
    for (const auto& [name, screen] : FScreens) gone.push_back(name);
    FScreens.clear();
  }
  // Outside the lock: on this thread the window is told at once.
  for (const RawUtf8& name : gone) SayGone(name);
}

TScreenReceiver::TVerdict TScreenReceiver::OnFrame(const RawUtf8& APeerIP, const RawUtf8& APeerName,
                                                   TBytes AData) {
  // Discovery keeps names as they travel in its datagrams, cut to 255 bytes; a frame carries
  // the sender's whole name.
  const auto peers = FPeers();
  const TPeerInfo* peer = PeerAt(peers, APeerIP);
  if (!peer || peer->Name != Pondar::Net::DiscoveryWireName(APeerName))
    return TVerdict::NotThePeerAtThatAddress;

  std::lock_guard lock(FLock);
  if (!FRunning) return TVerdict::Stopped;
  if (FFrames.size() >= Pondar::Core::Limits::MaxFramesQueued) return TVerdict::QueueFull;
  std::shared_ptr<TPeerScreen>& screen = FScreens[peer->Name];
  if (!screen) {
    screen = std::make_shared<TPeerScreen>();
    screen->Name = peer->Name;
    screen->Viewer = FDecoders();
  }
  if (screen->Waiting >= Pondar::Core::Limits::MaxFramesQueuedPerPeer) return TVerdict::QueueFull;
  ++screen->Waiting;
  FFrames.push_back({screen, std::move(AData)});
  FChanged.notify_one();
  return TVerdict::Queued;
}

void TScreenReceiver::OnPeerGone(const TPeerInfo& APeer) {
  {
    std::lock_guard lock(FLock);
    const auto it = FScreens.find(APeer.Name);
    if (it == FScreens.end()) return;
    std::erase_if(FFrames,
                  [&](const TWaitingFrame& AFrame) { return AFrame.Screen == it->second; });
    FScreens.erase(it);
  }
  SayGone(APeer.Name);
}

size_t TScreenReceiver::Viewers() const {
  std::lock_guard lock(FLock);
  return FScreens.size();
}

void TScreenReceiver::DecodeLoop() {
  std::unique_lock lock(FLock);
  for (;;) {
    FChanged.wait(lock, [this] { return FStopping || !FFrames.empty(); });
    if (FStopping) return;
    TWaitingFrame frame = std::move(FFrames.front());
    FFrames.pop_front();
    --frame.Screen->Waiting;
    Decode(frame, lock);
  }
}

void TScreenReceiver::Decode(TWaitingFrame& AFrame, std::unique_lock<std::mutex>& ALock) {
  ALock.unlock();
  std::optional<TScreenPicture> picture;
  // A frame too large for the memory at hand costs that frame only.
  Pondar::Core::RunReportingErrors(
      [&] {
        if (AFrame.Screen->Viewer->ApplyFrame(AFrame.Data))
          picture = AFrame.Screen->Viewer->Picture();
      },
      "Screen receiver, decoding a frame from " + AFrame.Screen->Name, FRoute.Problems());
  AFrame.Data = TBytes();
  ALock.lock();
  // A peer that went meanwhile has been said gone: its last picture must not follow.
  const auto it = FScreens.find(AFrame.Screen->Name);
  if (picture && it != FScreens.end() && it->second == AFrame.Screen)
    Publish(*AFrame.Screen, std::move(*picture));
}

void TScreenReceiver::Publish(const TPeerScreen& AScreen, TScreenPicture APicture) {
  const std::shared_ptr<TPictureSlot> slot = AScreen.Slot;
  bool queue = false;
  {
    std::lock_guard slotLock(slot->Lock);
    slot->Latest = std::move(APicture);
    queue = !std::exchange(slot->Queued, true);
  }
  // From the decoding thread, which never owns the queue: this only queues, so it may run
  // under FLock, which keeps it ahead of a "gone" for the same peer.
  if (queue) {
    FRoute.Picture(AScreen.Name, [slot] {
      std::lock_guard slotLock(slot->Lock);
      slot->Queued = false;
      return std::move(slot->Latest);
    });
  }
}

void TScreenReceiver::SayGone(const RawUtf8& AName) {
  FRoute.Picture(AName, [] { return TScreenPicture(); });
}

}  // namespace Pondard::App
