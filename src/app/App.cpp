#include "app/App.h"

#include <cmath>

#include "core/Captions.h"
#include "fs/Scanner.h"
#include "fs/Watcher.h"
#include "net/Discovery.h"
#include "net/TcpServer.h"

namespace Pondard::Core {

using Pondar::Core::CurrentUtcTime;
using Pondar::Core::FormatCaption;
using Pondar::Core::GetTickCount64;
namespace Captions = Pondar::Core::Captions;

// ---- short-lived threads ----

void TShortLivedThreads::Run(std::function<void()> AJob) {
  {
    std::lock_guard lock(FMutex);
    ++FCount;
  }
  std::thread([self = shared_from_this(), job = std::move(AJob)] {
    try {
      job();
    } catch (...) {
      // An error escaping a sync ends that sync only; the engine runs on.
    }
    {
      std::lock_guard lock(self->FMutex);
      --self->FCount;
    }
    self->FIdle.notify_all();
  }).detach();
}

bool TShortLivedThreads::WaitIdle(std::chrono::milliseconds ATimeout) {
  std::unique_lock lock(FMutex);
  return FIdle.wait_for(lock, ATimeout, [&] { return FCount == 0; });
}

size_t TShortLivedThreads::Count() {
  std::lock_guard lock(FMutex);
  return FCount;
}

// ---- logging ----

namespace {

// Builds the stamped line and queues it for the sink. Holds only shared state, so that sync
// threads may log after a restart, or after the engine itself is gone.
void LogThrough(const std::shared_ptr<TDeliveryQueue>& AQueue,
                const std::shared_ptr<TAppSinks>& ASinks, const RawUtf8& AMsg) {
  if (!ASinks->HasLog.load(std::memory_order_acquire)) return;
  RawUtf8 line = FormatCaption(Captions::LogLine, {Pondar::Core::LocalTimeText(), AMsg});
  AQueue->Deliver([ASinks, line = std::move(line)] {
    if (ASinks->Log) ASinks->Log(line);
  });
}

}  // namespace

TPondardApp::TPondardApp(TPondardConfig AConfig, std::shared_ptr<TDeliveryQueue> AQueue)
    : FConfig(std::move(AConfig)),
      FQueue(std::move(AQueue)),
      FSinks(std::make_shared<TAppSinks>()),
      FSyncThreads(std::make_shared<TShortLivedThreads>()) {}

TPondardApp::~TPondardApp() {
  Stop();
  // Syncs stop between files once cancelled; one that is stuck on a silent peer is left to its
  // network time-out, holding only shared state, rather than holding up the program's exit.
  FSyncEngine.Cancel->store(true, std::memory_order_release);
  FSyncThreads->WaitIdle(std::chrono::milliseconds(6000));
  // Deliveries still queued find no sink.
  FSinks->HasLog.store(false, std::memory_order_release);
  FSinks->Log = nullptr;
  FSinks->ScreenFrame = nullptr;
  FSinks->Sound = nullptr;
}

void TPondardApp::SetLogSink(TLogSink ASink) {
  FSinks->Log = std::move(ASink);
  FSinks->HasLog.store(static_cast<bool>(FSinks->Log), std::memory_order_release);
}

void TPondardApp::SetScreenFrameSink(TAppScreenFrameEvent ASink) {
  FSinks->ScreenFrame = std::move(ASink);
}

void TPondardApp::SetSoundHook(TSoundHook AHook) { FSinks->Sound = std::move(AHook); }

void TPondardApp::Log(const RawUtf8& AMsg) { LogThrough(FQueue, FSinks, AMsg); }

void TPondardApp::PlaySound(TSound ASound) {
  FQueue->Deliver([sinks = FSinks, ASound] {
    if (sinks->Sound) sinks->Sound(ASound);
  });
}

// ---- start and stop ----

void TPondardApp::Start() {
  if (FRunning) return;
  FRunning = true;

  FSyncEngine.RootDir = FConfig.Folder;
  FSyncEngine.OnLog = [queue = FQueue, sinks = FSinks](const RawUtf8& AMsg) {
    LogThrough(queue, sinks, AMsg);
  };
  FTimers = std::make_unique<TTimerQueue>();

  if (FConfig.FileSharing) {
    Log(RawUtf8(Captions::Scanning));
    TFileEntries scanned;
    Pondar::Fs::ScanFolder(FConfig.Folder, scanned);
    const auto count = static_cast<int64_t>(scanned.size());
    {
      // Syncs of an earlier run may still be writing into the list.
      std::lock_guard lock(*FSyncEngine.EntriesLock);
      FSyncEngine.Entries->swap(scanned);
    }
    Log(FormatCaption(Captions::FilesCount, {count}));
  }

  FServer = std::make_unique<Pondar::Net::TTcpServerThread>(
      FConfig.TcpPort, FConfig.Folder, FSyncEngine.Entries.get(), FSyncEngine.EntriesLock.get());
  FServer->OnDeleteNotify = [this](const RawUtf8& APath) { OnRemoteDelete(APath); };
  FServer->OnChangesNotify = [this](const RawUtf8& AIP, uint16_t APort) {
    OnChangesNotify(AIP, APort);
  };
  // Clipboard text and screen frames are bound here when those switches are on.
  FServer->Start();

  auto discovery = std::make_shared<Pondar::Net::TDiscoveryThread>(FConfig.Name, FConfig.UdpPort,
                                                                   FConfig.TcpPort);
  discovery->OnPeerDiscovered = [this](const TPeerInfo& APeer) { OnPeerDiscovered(APeer); };
  discovery->OnPeerLost = [this](const TPeerInfo& APeer) { OnPeerGone(APeer); };
  {
    std::lock_guard lock(FWorkersLock);
    FDiscovery = discovery;
  }
  discovery->Start();

  if (FConfig.FileSharing) {
    FWatcher = std::make_shared<Pondar::Fs::TFileWatcher>(FConfig.Folder);
    FWatcher->SetOnChange(
        [this](TFileAction AAction, const RawUtf8& APath) { OnFileChange(AAction, APath); });
    FSyncEngine.Watcher = FWatcher;
  } else {
    FSyncEngine.Watcher = nullptr;
  }

  // The clipboard watcher starts here, and then the screen capture, when switched on.

  Log(RawUtf8(Captions::Ready));
}

void TPondardApp::Stop() {
  if (!FRunning) return;
  FRunning = false;

  const auto discovery = Discovery();
  if (discovery) discovery->SendGoodbye();

  // The screen capture stops here, and then the clipboard watcher, when they run.

  // Take-ups still waiting for their window are dropped: the next start rescans and resyncs.
  FTimers->Stop();

  if (FWatcher) {
    FWatcher->SignalStop();
    FWatcher->WaitFor();
    FWatcher.reset();  // a sync still holding it only calls its suppression list
  }
  if (FServer) {
    FServer->Shutdown();
    FServer->WaitFor();
    FServer.reset();
  }
  if (discovery) {
    discovery->Terminate();
    discovery->WaitFor();
    std::lock_guard lock(FWorkersLock);
    FDiscovery.reset();
  }
  FTimers.reset();
}

// ---- peers ----

std::shared_ptr<Pondar::Net::TDiscoveryThread> TPondardApp::Discovery() const {
  std::lock_guard lock(FWorkersLock);
  return FDiscovery;
}

TPeerInfoDynArray TPondardApp::PeerList() const {
  const auto discovery = Discovery();
  return discovery ? discovery->GetPeerList() : TPeerInfoDynArray{};
}

TPeerInfoDynArray TPondardApp::GetPeers() const { return PeerList(); }

void TPondardApp::OnPeerDiscovered(const TPeerInfo& APeer) {
  const double seconds = std::fabs(APeer.UtcTime - CurrentUtcTime()) * 86400.0;
  const int64_t drift = Pondar::Core::RoundHalfEven(seconds);
  if (drift <= MaxClockDriftSeconds) {
    Log(FormatCaption(Captions::PeerFound, {APeer.Name, APeer.IP}));
    if (FConfig.Sound) PlaySound(TSound::Notification);
    StartPeerSync(APeer);
  } else {
    Log(FormatCaption(Captions::ClockDrift, {APeer.Name, drift, MaxClockDriftSeconds}));
  }
}

void TPondardApp::OnPeerGone(const TPeerInfo& APeer) {
  // Runs while discovery holds its peer-list lock: queue a line and a sound, nothing more.
  Log(FormatCaption(Captions::PeerLost, {APeer.Name}));
  if (FConfig.Sound) PlaySound(TSound::Error);
}

void TPondardApp::StartPeerSync(const TPeerInfo& APeer) {
  if (!FConfig.FileSharing) return;
  // The thread gets copies of everything it uses, so it may outlive a restart or the engine.
  FSyncThreads->Run([engine = FSyncEngine, peer = APeer]() mutable {
    engine.OnLog(FormatCaption(Captions::SyncBegins, {peer.Name}));
    const auto stats = engine.SyncWithPeer(peer.IP, peer.TcpPort, peer.Name);
    if (stats.Received > 0 || stats.Sent > 0) {
      engine.OnLog(FormatCaption(Captions::SyncDone,
                                 {int64_t{stats.Received}, int64_t{stats.Sent}}));
    } else {
      engine.OnLog(RawUtf8(Captions::UpToDate));
    }
  });
}

void TPondardApp::SyncWithPeerAt(const RawUtf8& APeerIP) {
  for (const auto& peer : PeerList()) {
    if (peer.IP == APeerIP) {
      StartPeerSync(peer);
      return;
    }
  }
}

// ---- change notices from peers ----

void TPondardApp::OnChangesNotify(const RawUtf8& APeerIP, uint16_t /*ATcpPort*/) {
  if (!FConfig.FileSharing) return;
  {
    std::lock_guard lock(FRateLock);
    if (!FNoticeWindow.Admit(GetTickCount64(), [this](uint64_t ADelayMs) {
          if (FTimers) FTimers->Schedule(ADelayMs, [this] { TakeUpPendingNotices(); });
        })) {
      FPendingNoticeIPs.insert(APeerIP);
      return;
    }
  }
  // The port comes from the discovery table; a sender we do not know is ignored.
  SyncWithPeerAt(APeerIP);
}

void TPondardApp::TakeUpPendingNotices() {
  std::set<RawUtf8> ips;
  {
    std::lock_guard lock(FRateLock);
    ips.swap(FPendingNoticeIPs);
    FNoticeWindow.Ended(GetTickCount64(), !ips.empty());
  }
  for (const auto& ip : ips) SyncWithPeerAt(ip);
}

void TPondardApp::OnRemoteDelete(const RawUtf8& ARelPath) {
  FSyncEngine.HandleRemoteDelete(ARelPath);
}

// ---- local changes ----

void TPondardApp::OnFileChange(TFileAction AAction, const RawUtf8& ARelPath) {
  if (!FConfig.FileSharing) return;
  switch (AAction) {
    case TFileAction::faCreated:
    case TFileAction::faModified: {
      {
        std::lock_guard lock(FRateLock);
        if (!FLocalChangeWindow.Admit(GetTickCount64(), [this](uint64_t ADelayMs) {
              if (FTimers) FTimers->Schedule(ADelayMs, [this] { TakeUpPendingLocalChange(); });
            })) {
          FPendingChangePath = ARelPath;
          return;
        }
        // This take-up covers whatever was waiting for the window's end.
        FPendingChangePath.clear();
      }
      TakeUpLocalChange(ARelPath);
      break;
    }
    case TFileAction::faDeleted: {
      const auto peers = PeerList();
      Log(FormatCaption(Captions::LocalDelete, {ARelPath}));
      {
        std::lock_guard lock(*FSyncEngine.EntriesLock);
        Pondar::Fs::RemoveEntry(*FSyncEngine.Entries, ARelPath);
      }
      FSyncEngine.NotifyPeersOfDelete(ARelPath, peers);
      break;
    }
    case TFileAction::faRenamed:
      break;
  }
}

void TPondardApp::TakeUpPendingLocalChange() {
  RawUtf8 path;
  {
    std::lock_guard lock(FRateLock);
    path.swap(FPendingChangePath);
    FLocalChangeWindow.Ended(GetTickCount64(), !path.empty());
  }
  if (!path.empty()) TakeUpLocalChange(path);
}

void TPondardApp::TakeUpLocalChange(const RawUtf8& ARelPath) {
  const auto peers = PeerList();
  Log(FormatCaption(Captions::LocalChange, {ARelPath}));
  RescanEntries();
  FSyncEngine.NotifyPeersOfChange(peers);
}

void TPondardApp::RescanEntries() {
  TFileEntries scanned;
  Pondar::Fs::ScanFolder(FConfig.Folder, scanned);
  std::lock_guard lock(*FSyncEngine.EntriesLock);
  FSyncEngine.Entries->swap(scanned);
}

TFileEntries TPondardApp::Entries() const {
  std::lock_guard lock(*FSyncEngine.EntriesLock);
  return *FSyncEngine.Entries;
}

uint16_t TPondardApp::ServerPort() const { return FServer ? FServer->BoundPort() : 0; }

}  // namespace Pondard::Core
