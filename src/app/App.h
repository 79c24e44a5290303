// The program's engine: starts and stops every worker in a fixed order, owns the settings and
// the shared file list, and routes every worker event, and every log line to the window. What
// it does about changes, the syncs that run, the screen it broadcasts and the road to the
// window are modules of their own (ChangeCoordinator, PeerSyncs, ScreenBroadcaster, Sinks).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "app/ChangeCoordinator.h"
#include "app/Config.h"
#include "app/DeliveryQueue.h"
#include "app/PeerSyncs.h"
#include "app/ScreenBroadcaster.h"
#include "app/ScreenReceiver.h"
#include "app/Sinks.h"
#include "core/Types.h"
#include "net/NetworkKey.h"
#include "net/Tls.h"
#include "sync/Engine.h"

namespace Pondar::Net {
class TDiscoveryThread;
class TPeerOutbox;
class TTcpServerThread;
}  // namespace Pondar::Net
namespace Pondar::Fs {
class TFileWatcher;
}
namespace Pondar::Clipboard {
class TClipboardBackend;
class TClipboardWatcher;
}  // namespace Pondar::Clipboard

namespace Pondard::App {

using Pondar::Core::TFileAction;
using Pondar::Core::TFileEntries;
using Pondar::Core::TPeerInfo;
using Pondar::Core::TPeerInfoDynArray;

// The peer's clock drift in whole seconds, halves to even (5.5 s gives 6); nullopt when the
// peer's reading is no valid time at all (not finite, before 1899 or after 9999).
std::optional<int64_t> ClockDriftSeconds(double APeerUtc, double AOurUtc);

// Owner's protocol (all on the delivery queue's owner thread): create, attach sinks, Start;
// Stop and Start again to apply new settings; destroy. Handlers are public because the workers,
// and tests standing in for them, call them on their own threads. Problems that workers report
// (a port that cannot be opened, a failing handler, folders left unwatched) become "⚠" lines.
class TPondardApp {
 public:
  TPondardApp(TPondardConfig AConfig, std::shared_ptr<TDeliveryQueue> AQueue);
  ~TPondardApp();
  TPondardApp(const TPondardApp&) = delete;
  TPondardApp& operator=(const TPondardApp&) = delete;

  void Start();
  // Goodbye first, then every worker stopped and freed; running syncs are left to finish, and
  // notices still queued for peers go out on their own.
  void Stop();
  bool Running() const { return FRunning; }
  // The settings; change them only while stopped.
  TPondardConfig& Config() { return FConfig; }

  // The screen to broadcast, set before Start (the window's program gives the desktop's own).
  // When never set, a broadcast asked for is warned of as unavailable.
  void SetScreenSource(TScreenSourceFactory AFactory) { FScreen.SetSource(std::move(AFactory)); }
  // The desktop's clipboard, set before Start; without one, clipboard sharing stays off.
  void SetClipboard(std::shared_ptr<Pondar::Clipboard::TClipboardBackend> AClipboard);
  void SetLogSink(TLogSink ASink);
  // Set before Start, with the decoders that make the pictures; without them (a peer without a
  // window) frames are refused at the door.
  void SetScreenPictureSink(TScreenPictureSink ASink, TFrameDecoderFactory ADecoders);
  void SetSoundHook(TSoundHook AHook);
  // Set before Start. A few updates a second per download, and always its last one (AReceived
  // == ATotal, also the only one of a file that arrives at once). Without a sink (a peer
  // without a window) the syncs report no progress at all.
  void SetTransferProgressSink(TTransferProgressSink ASink);

  // Stamps AMsg with the local time and hands the line to the log sink through the queue.
  void Log(const RawUtf8& AMsg) { FRoute.Log(AMsg); }
  // A problem the user must hear of: a "⚠" log line, and the same on standard error. Any thread.
  void Warn(const RawUtf8& AMsg) { FRoute.Warn(AMsg); }
  TPeerInfoDynArray GetPeers() const;

  // Worker events.
  void OnPeerDiscovered(const TPeerInfo& APeer);
  void OnPeerGone(const TPeerInfo& APeer);
  void OnChangesNotify(const RawUtf8& APeerIP) { FChanges.OnChangesNotify(APeerIP); }
  void OnRemoteDelete(const RawUtf8& ARelPath);
  // Hands the change to the work thread and returns: the watcher goes on reading.
  void OnFileChange(TFileAction AAction, const RawUtf8& ARelPath, bool AMoreComing = false) {
    FChanges.OnLocalChange(AAction, ARelPath, AMoreComing);
  }
  // New local clipboard text: queued for every peer, on the clipboard watcher's thread.
  void OnClipboardChanged(const RawUtf8& AText);
  // A peer's clipboard text: written into the local clipboard without coming back. Text that
  // is not shareable (a NUL, bytes that are no UTF-8) is refused with one line that gives its
  // size.
  void OnClipboardReceived(const RawUtf8& AText);
  // A frame of the local screen: queued for every peer that has taken the last one.
  void OnScreenCaptured(TBytes AData) { FScreen.OnCaptured(std::move(AData)); }
  // A peer's screen frame from APeerIP: taken only under the name discovery knows there,
  // decoded on the screen receiver's thread, and its picture handed to the picture sink on the
  // owner thread.
  TScreenReceiver::TVerdict OnScreenFrameReceived(const RawUtf8& APeerIP, const RawUtf8& APeerName,
                                                  TBytes AData) {
    return FScreenViews.OnFrame(APeerIP, APeerName, std::move(AData));
  }

  bool SendingScreen() const { return FScreen.Sending(); }
  // Frames in a row that some peer could not be sent (it failed, or was still taking the last).
  int32_t ScreenSendFails() const { return FScreen.Fails(); }

  // A copy of the shared file list, taken under its lock.
  TFileEntries Entries() const;
  // The TCP port the server listens on, 0 while it does not.
  uint16_t ServerPort() const;
  size_t RunningSyncs() const { return FSyncs.Running(); }
  // Peers whose screen is being received.
  size_t ScreenViewers() const { return FScreenViews.Viewers(); }

  static constexpr int64_t MaxClockDriftSeconds = 5;

 private:
  // Frames are taken only with receiving on and a window to show them.
  bool ReceivesScreens() const { return FConfig.ScreenReceive && FSinks->ScreenPicture; }
  // Derives FNetworkKey from the key in force (once per Start: a typed key is stretched). False,
  // with a "⚠" line, when a key was asked for and cannot be had: the peer must then stay off the
  // network rather than run open.
  bool PrepareNetworkKey();
  // Makes the TLS context of FNetworkKey's stream key (none without a key) and hands it to the
  // requesting side; the server takes it in StartServer. False, with a "⚠" line, when OpenSSL
  // cannot make it: as with a key that cannot be had, the peer then stays off the network.
  bool PrepareTls();
  // One step of Start or Stop per worker, in the order Start and Stop name them.
  void PrepareSyncEngine();
  void StartServer();
  void StartDiscovery();
  void StartFolderWatcher();
  void StartClipboardWatcher();
  void StopClipboardWatcher();
  void StopFolderWatcher();
  void StopServer();
  void StopDiscovery();

  // What a sync thread or a handler uses of the sync engine: a copy taken under FWorkersLock,
  // so that Start may change it meanwhile.
  Pondar::Sync::TSyncEngine SyncEngine() const;
  void StartPeerSync(const TPeerInfo& APeer);
  std::shared_ptr<Pondar::Net::TDiscoveryThread> Discovery() const;
  std::shared_ptr<Pondar::Clipboard::TClipboardWatcher> ClipboardWatcher() const;
  TPeerInfoDynArray PeerList() const;

  TPondardConfig FConfig;
  // Whether this run shares files: as the settings say, unless the folder cannot be shared.
  // Set by Start before any worker that reads it starts.
  std::atomic<bool> FFileSharing{false};
  const std::shared_ptr<TDeliveryQueue> FQueue;
  const std::shared_ptr<TAppSinks> FSinks;
  const TSinkRoute FRoute;
  bool FRunning = false;
  // The keys of keyed mode, derived at Start; empty without a key. Set on the owner thread
  // before any worker starts and unchanged while they run, so workers may read it unlocked.
  std::optional<Pondar::Net::TNetworkKey> FNetworkKey;
  // The TLS of every connection while a key is in force; null otherwise.
  std::shared_ptr<const Pondar::Net::TTlsContext> FTls;

  std::shared_ptr<Pondar::Clipboard::TClipboardBackend> FClipboard;

  // Guards FDiscovery, FSyncEngine and FClipboardWatcher, which handlers on worker threads read
  // while Start and Stop, on the owner thread, replace what they hold.
  mutable std::mutex FWorkersLock;
  std::shared_ptr<Pondar::Net::TDiscoveryThread> FDiscovery;
  // Its Files is the shared list; its Suppressions and RecentDeletes are shared with the folder
  // watcher. All three live as long as the engine, across restarts.
  Pondar::Sync::TSyncEngine FSyncEngine;
  std::unique_ptr<Pondar::Net::TTcpServerThread> FServer;
  std::shared_ptr<Pondar::Fs::TFileWatcher> FWatcher;
  std::shared_ptr<Pondar::Clipboard::TClipboardWatcher> FClipboardWatcher;

  // Notices, clipboard texts and frames to peers, each peer on its own queue. Lives as long as
  // the engine, so that what a Stop leaves queued still goes; it never holds a Stop up.
  const std::shared_ptr<Pondar::Net::TPeerOutbox> FOutbox;
  TPeerSyncs FSyncs;
  TScreenBroadcaster FScreen;
  TScreenReceiver FScreenViews;
  // Last: its work thread calls on the members above, so it goes first.
  TChangeCoordinator FChanges;
};

}  // namespace Pondard::App
