#include "app/App.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <system_error>

#include "clipboard/Clipboard.h"
#include "core/Captions.h"
#include "fs/FileList.h"
#include "fs/Scanner.h"
#include "fs/Watcher.h"
#include "net/Discovery.h"
#include "net/TcpServer.h"
#include "net/Transfer.h"
#include "screen/Capture.h"
#include "screen/PortalScreenSource.h"

namespace Pondard::App {

using Pondar::Core::CurrentUtcTime;
using Pondar::Core::FormatCaption;
using Pondar::Core::GetTickCount64;
using Pondar::Core::TOnWorkerProblem;
namespace Captions = Pondar::Core::Captions;

// ---- short-lived threads ----

void TShortLivedThreads::Run(std::function<void()> AJob, RawUtf8 AContext,
                             TOnWorkerProblem AReport) {
  {
    std::lock_guard lock(FMutex);
    ++FCount;
  }
  try {
    std::thread([self = shared_from_this(), job = std::move(AJob), context = std::move(AContext),
                 report = std::move(AReport)] {
      Pondar::Core::RunReportingErrors(job, context, report);
      {
        std::lock_guard lock(self->FMutex);
        --self->FCount;
      }
      self->FIdle.notify_all();
    }).detach();
  } catch (...) {
    std::lock_guard lock(FMutex);
    --FCount;
    throw;
  }
}

bool TShortLivedThreads::WaitIdle(std::chrono::milliseconds ATimeout) {
  std::unique_lock lock(FMutex);
  return FIdle.wait_for(lock, ATimeout, [&] { return FCount == 0; });
}

size_t TShortLivedThreads::Count() {
  std::lock_guard lock(FMutex);
  return FCount;
}

bool TPeerSyncQueue::Admit(const RawUtf8& APeer, TJob AJob) {
  std::lock_guard lock(FLock);
  const auto [slot, idle] = FWaiting.try_emplace(APeer);
  if (!idle) slot->second = std::move(AJob);
  return idle;
}

void TPeerSyncQueue::RunQueued(const RawUtf8& APeer, TJob AJob,
                               const Pondar::Core::TOnWorkerProblem& AReport) {
  for (;;) {
    Pondar::Core::RunReportingErrors(AJob, "Sync with " + APeer, AReport);
    std::lock_guard lock(FLock);
    const auto slot = FWaiting.find(APeer);
    if (!slot->second) {
      FWaiting.erase(slot);
      return;
    }
    AJob = std::move(slot->second);
    slot->second = nullptr;
  }
}

void TPeerSyncQueue::Release(const RawUtf8& APeer) {
  std::lock_guard lock(FLock);
  FWaiting.erase(APeer);
}

std::optional<int64_t> ClockDriftSeconds(double APeerUtc, double AOurUtc) {
  if (!Pondar::Core::IsValidDayCount(APeerUtc)) return std::nullopt;
  return Pondar::Core::RoundHalfEven(std::fabs(APeerUtc - AOurUtc) * 86400.0);
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

// A problem goes to standard error as well: the log may have no reader (a window not yet
// shown, a headless peer whose output nobody keeps), and this is what its user must not miss.
// A 1 GiB download reports every block; the window needs a few updates a second, and a busy
// window must not have them pile up: one at a time waits in the queue, none sooner than
// ProgressIntervalMs after the last, except a file's last, which always goes.
constexpr uint64_t ProgressIntervalMs = 100;

void ProgressThrough(const std::shared_ptr<TDeliveryQueue>& AQueue,
                     const std::shared_ptr<TAppSinks>& ASinks, const RawUtf8& ARelPath,
                     int64_t AReceived, int64_t ATotal) {
  if (AReceived < ATotal) {
    const uint64_t now = GetTickCount64();
    if (ASinks->ProgressQueued.load() > 0 ||
        now - ASinks->LastProgressTick.load() < ProgressIntervalMs)
      return;
    ASinks->LastProgressTick.store(now);
  }
  ASinks->ProgressQueued.fetch_add(1);
  AQueue->Deliver([ASinks, ARelPath, AReceived, ATotal] {
    ASinks->ProgressQueued.fetch_sub(1);
    if (ASinks->Progress) ASinks->Progress(ARelPath, AReceived, ATotal);
  });
}

void WarnThrough(const std::shared_ptr<TDeliveryQueue>& AQueue,
                 const std::shared_ptr<TAppSinks>& ASinks, const RawUtf8& AMsg) {
  std::fprintf(stderr, "pondard: %s\n", AMsg.c_str());
  LogThrough(AQueue, ASinks, FormatCaption(Captions::Problem, {AMsg}));
}

// The screen of the desktop this peer runs on. The portal's token is kept here rather than in
// the settings, which the window replaces on Apply: every share spends the token it was given,
// so the one that replaces it is what the next start needs, and it goes to the settings file at
// once, for the next run of the program.
TScreenSourceFactory DesktopScreen(const std::string& AToken, TOnWorkerProblem AReport) {
  struct TToken {
    std::mutex Lock;
    std::string Value;
  };
  auto token = std::make_shared<TToken>();
  token->Value = AToken;
  return [token, report = std::move(AReport)](std::string& AWhy) {
    Pondard::Screen::TPortalOptions options;
    {
      const std::lock_guard lock(token->Lock);
      options.RestoreToken = token->Value;
    }
    options.OnRestoreToken = [token, report](const std::string& ANew) {
      {
        const std::lock_guard lock(token->Lock);
        token->Value = ANew;
      }
      try {
        SaveScreenRestoreToken(ANew);
      } catch (const std::exception& AError) {
        Pondar::Core::ReportProblem(report, AError.what());
      }
    };
    return Pondard::Screen::OpenDesktopScreenSource(std::move(options), AWhy);
  };
}

}  // namespace

TPondardApp::TPondardApp(TPondardConfig AConfig, std::shared_ptr<TDeliveryQueue> AQueue)
    : FConfig(std::move(AConfig)),
      FQueue(std::move(AQueue)),
      FSinks(std::make_shared<TAppSinks>()),
      FSyncThreads(std::make_shared<TShortLivedThreads>()),
      FPeerSyncs(std::make_shared<TPeerSyncQueue>()),
      FScreenSend(std::make_shared<TScreenSendState>()),
      FScreenSenders(std::make_shared<TShortLivedThreads>()),
      FScreenSource(DesktopScreen(FConfig.ScreenRestoreToken, ProblemReport())) {}

TPondardApp::~TPondardApp() {
  Stop();
  // Syncs stop between files once cancelled; one that is stuck on a silent peer is left to its
  // network time-out, holding only shared state, rather than holding up the program's exit.
  FSyncEngine.Cancel->store(true, std::memory_order_release);
  FSyncThreads->WaitIdle(std::chrono::milliseconds(6000));
  FScreenSenders->WaitIdle(std::chrono::milliseconds(6000));
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

void TPondardApp::SetScreenSource(TScreenSourceFactory AFactory) {
  FScreenSource = std::move(AFactory);
}

void TPondardApp::SetClipboard(std::shared_ptr<Pondar::Clipboard::TClipboardBackend> AClipboard) {
  FClipboard = std::move(AClipboard);
}

void TPondardApp::SetScreenFrameSink(TAppScreenFrameEvent ASink) {
  FSinks->ScreenFrame = std::move(ASink);
}

void TPondardApp::SetSoundHook(TSoundHook AHook) {
  FSinks->Sound = std::move(AHook);
}

void TPondardApp::SetTransferProgressSink(TTransferProgressSink ASink) {
  FSinks->Progress = std::move(ASink);
}

void TPondardApp::Log(const RawUtf8& AMsg) {
  LogThrough(FQueue, FSinks, AMsg);
}

void TPondardApp::Warn(const RawUtf8& AMsg) {
  WarnThrough(FQueue, FSinks, AMsg);
}

TOnWorkerProblem TPondardApp::ProblemReport() {
  // Shared state only: a report may come from a thread that outlives this run.
  return [queue = FQueue, sinks = FSinks](const RawUtf8& AMsg) { WarnThrough(queue, sinks, AMsg); };
}

void TPondardApp::PlaySound(TSound ASound) {
  FQueue->Deliver([sinks = FSinks, ASound] {
    if (sinks->Sound) sinks->Sound(ASound);
  });
}

// ---- start and stop ----

void TPondardApp::Start() {
  if (FRunning) return;
  FRunning = true;

  {
    std::lock_guard lock(FWorkersLock);
    FSyncEngine.RootDir = FConfig.Folder;
    FSyncEngine.OnLog = [queue = FQueue, sinks = FSinks](const RawUtf8& AMsg) {
      LogThrough(queue, sinks, AMsg);
    };
    FSyncEngine.OnProgress = nullptr;
    if (FSinks->Progress) {
      FSyncEngine.OnProgress = [queue = FQueue, sinks = FSinks](const RawUtf8& APath,
                                                                int64_t AReceived, int64_t ATotal) {
        ProgressThrough(queue, sinks, APath, AReceived, ATotal);
      };
    }
  }
  {
    // Take-ups held back when the engine last stopped were dropped with its work thread; the
    // scan and the syncs of this start cover them.
    std::lock_guard lock(FRateLock);
    FNoticeWindow.DropScheduledEnd();
    FPendingNoticeIPs.clear();
    FLocalChangeWindow.DropScheduledEnd();
    FPendingChangePath.clear();
  }
  FWork = std::make_unique<TTimerQueue>();

  if (FConfig.FileSharing) {
    Log(RawUtf8(Captions::Scanning));
    std::vector<std::string> leftovers;
    // Syncs of an earlier run may still be writing into the list.
    FSyncEngine.Files->Rescan([&](const Pondar::Fs::TEntrySink& ASink) {
      Pondar::Fs::ScanFolder(FConfig.Folder, ASink, &leftovers);
    });
    RemoveLeftoverDownloads(leftovers);
    Log(FormatCaption(Captions::FilesCount, {static_cast<int64_t>(FSyncEngine.Files->Size())}));
  }

  // A worker that cannot even get a thread is reported, and the peer runs on without it.
  const auto startOrReport = [this](Pondar::Core::TWorkerThread& AWorker) {
    try {
      AWorker.Start();
      return true;
    } catch (const std::system_error& AError) {
      Warn(AWorker.Name() + " cannot start: " + AError.what());
      return false;
    }
  };

  FServer = std::make_unique<Pondar::Net::TTcpServerThread>(
      FConfig.TcpPort, FConfig.Folder, FSyncEngine.Files);
  FServer->OnDeleteNotify = [this](const RawUtf8& APath) { OnRemoteDelete(APath); };
  FServer->OnChangesNotify = [this](const RawUtf8& AIP, uint16_t APort) {
    OnChangesNotify(AIP, APort);
  };
  if (FConfig.Clipboard && FClipboard) {
    FServer->OnClipboardNotify = [this](const RawUtf8& AText) { OnClipboardReceived(AText); };
  }
  // Without a frame sink (a peer without a window) frames are refused at the door.
  if (FConfig.ScreenReceive && FSinks->ScreenFrame) {
    FServer->OnScreenFrame = [this](const RawUtf8& AName, const TBytes& AData) {
      OnScreenFrameReceived(AName, AData);
    };
  }
  FServer->OnProblem = ProblemReport();
  if (!startOrReport(*FServer)) FServer.reset();

  auto discovery = std::make_shared<Pondar::Net::TDiscoveryThread>(FConfig.Name, FConfig.UdpPort,
                                                                   FConfig.TcpPort);
  discovery->OnPeerDiscovered = [this](const TPeerInfo& APeer) { OnPeerDiscovered(APeer); };
  discovery->OnPeerLost = [this](const TPeerInfo& APeer) { OnPeerGone(APeer); };
  discovery->OnProblem = ProblemReport();
  if (startOrReport(*discovery)) {
    std::lock_guard lock(FWorkersLock);
    FDiscovery = std::move(discovery);
  }

  if (FConfig.FileSharing) {
    try {
      FWatcher = std::make_shared<Pondar::Fs::TFileWatcher>(
          FConfig.Folder, Pondar::Core::TTickSource{}, ProblemReport());
      FWatcher->SetOnChange(
          [this](TFileAction AAction, const RawUtf8& APath) { OnFileChange(AAction, APath); });
      std::lock_guard lock(FWorkersLock);
      FSyncEngine.Watcher = FWatcher;
    } catch (const std::system_error& AError) {
      Warn(std::string("Folder watcher cannot start: ") + AError.what());
    }
  }

  if (FConfig.Clipboard && FClipboard) {
    try {
      auto watcher = std::make_shared<Pondar::Clipboard::TClipboardWatcher>(
          FClipboard, [this](const RawUtf8& AText) { OnClipboardChanged(AText); });
      std::lock_guard lock(FWorkersLock);
      FClipboardWatcher = std::move(watcher);
    } catch (const std::system_error& AError) {
      Warn(std::string("Clipboard watcher cannot start: ") + AError.what());
    }
  }

  if (FConfig.ScreenBroadcast) {
    std::string why;
    if (auto source = FScreenSource(why); !source) {
      Warn(Pondard::Screen::ScreenUnavailablePrefix + why);
    } else {
      const std::string which = source->Describe();
      FScreenCapture = std::make_unique<Pondard::Screen::TScreenCaptureThread>(
          ScreenCaptureIntervalMs, std::move(source));
      FScreenCapture->OnFrame = [this](TBytes AData) { OnScreenCaptured(std::move(AData)); };
      FScreenCapture->OnProblem = ProblemReport();
      if (startOrReport(*FScreenCapture)) {
        Log(RawUtf8(Captions::ScreenBroadcastStarted) + (which.empty() ? "" : " (" + which + ")"));
      } else {
        FScreenCapture.reset();
      }
    }
  }

  Log(RawUtf8(Captions::Ready));
}

void TPondardApp::Stop() {
  if (!FRunning) return;
  FRunning = false;

  const auto discovery = Discovery();
  if (discovery) discovery->SendGoodbye();

  if (FScreenCapture) {
    FScreenCapture->Terminate();
    FScreenCapture->WaitFor();
    FScreenCapture.reset();
  }

  if (const auto clipboardWatcher = ClipboardWatcher()) {
    // It may be sending a copy to the peers; that ends within one network time-out.
    clipboardWatcher->Terminate();
    clipboardWatcher->WaitFor();
    std::lock_guard lock(FWorkersLock);
    FClipboardWatcher.reset();
  }

  // Work still waiting is dropped: the next start rescans and resyncs. The action running now
  // (a rescan, notices to peers) is waited for.
  FWork->Stop();

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
  {
    // No handler that could read it runs any more.
    std::lock_guard lock(FWorkersLock);
    FSyncEngine.Watcher.reset();
  }
  if (discovery) {
    discovery->Terminate();
    discovery->WaitFor();
    std::lock_guard lock(FWorkersLock);
    FDiscovery.reset();
  }
  FWork.reset();
}

void TPondardApp::RemoveLeftoverDownloads(const std::vector<std::string>& APaths) {
  // A sync of an earlier run may still be receiving into one of them; with none running, each
  // is what a killed run left behind.
  if (APaths.empty() || FSyncThreads->Count() != 0) return;
  for (const auto& path : APaths) ::unlink(path.c_str());
}

// ---- peers ----

Pondar::Sync::TSyncEngine TPondardApp::SyncEngine() const {
  std::lock_guard lock(FWorkersLock);
  return FSyncEngine;
}

std::shared_ptr<Pondar::Clipboard::TClipboardWatcher> TPondardApp::ClipboardWatcher() const {
  std::lock_guard lock(FWorkersLock);
  return FClipboardWatcher;
}

std::shared_ptr<Pondar::Net::TDiscoveryThread> TPondardApp::Discovery() const {
  std::lock_guard lock(FWorkersLock);
  return FDiscovery;
}

TPeerInfoDynArray TPondardApp::PeerList() const {
  const auto discovery = Discovery();
  return discovery ? discovery->GetPeerList() : TPeerInfoDynArray{};
}

TPeerInfoDynArray TPondardApp::GetPeers() const {
  return PeerList();
}

void TPondardApp::OnPeerDiscovered(const TPeerInfo& APeer) {
  const auto drift = ClockDriftSeconds(APeer.UtcTime, CurrentUtcTime());
  if (!drift) {
    Log(FormatCaption(Captions::ClockUnreadable, {APeer.Name}));
  } else if (*drift <= MaxClockDriftSeconds) {
    Log(FormatCaption(Captions::PeerFound, {APeer.Name, APeer.IP}));
    if (FConfig.Sound) PlaySound(TSound::Notification);
    StartPeerSync(APeer);
  } else {
    Log(FormatCaption(Captions::ClockDrift, {APeer.Name, *drift, MaxClockDriftSeconds}));
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
  auto job = [engine = SyncEngine(), peer = APeer]() mutable {
    engine.OnLog(FormatCaption(Captions::SyncBegins, {peer.Name}));
    const auto stats = engine.SyncWithPeer(peer.IP, peer.TcpPort, peer.Name);
    if (stats.Unreachable) {
      engine.OnLog(FormatCaption(Captions::PeerUnreachable, {peer.Name}));
      return;
    }
    if (stats.Received > 0 || stats.Sent > 0) {
      engine.OnLog(
          FormatCaption(Captions::SyncDone, {int64_t{stats.Received}, int64_t{stats.Sent}}));
    } else {
      engine.OnLog(RawUtf8(Captions::UpToDate));
    }
    if (stats.NotReceived > 0) {
      engine.OnLog(
          FormatCaption(Captions::FilesNotReceived, {peer.Name, int64_t{stats.NotReceived}}));
    }
    if (!stats.StoppedBy.empty())
      engine.OnLog(FormatCaption(Captions::SyncStopped, {peer.Name, stats.StoppedBy}));
  };
  if (!FPeerSyncs->Admit(APeer.Name, job)) return;  // waits behind the sync that runs
  try {
    FSyncThreads->Run([queue = FPeerSyncs, name = APeer.Name, job,
                       report = ProblemReport()] { queue->RunQueued(name, job, report); },
                      "Sync with " + APeer.Name, ProblemReport());
  } catch (const std::system_error& AError) {
    FPeerSyncs->Release(APeer.Name);
    Warn("Sync with " + APeer.Name + " cannot start: " + AError.what());
  }
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

void TPondardApp::Post(uint64_t ADelayMs, std::function<void()> AAction) {
  if (!FWork) return;
  FWork->Schedule(ADelayMs, [this, action = std::move(AAction)] {
    Pondar::Core::RunReportingErrors(action, "Handling a change", ProblemReport());
  });
}

void TPondardApp::OnChangesNotify(const RawUtf8& APeerIP, uint16_t /*ATcpPort*/) {
  if (!FConfig.FileSharing) return;
  {
    std::lock_guard lock(FRateLock);
    if (!FNoticeWindow.Admit(GetTickCount64(), [this](uint64_t ADelayMs) {
          Post(ADelayMs, [this] { TakeUpPendingNotices(); });
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
  SyncEngine().HandleRemoteDelete(ARelPath);
}

// ---- local changes ----

void TPondardApp::OnFileChange(TFileAction AAction, const RawUtf8& ARelPath) {
  if (!FConfig.FileSharing) return;
  switch (AAction) {
    case TFileAction::faCreated:
    case TFileAction::faModified: {
      // A download reported after its hold ran out (a watcher far behind, under load): the
      // file is what the list already says, so there is nothing to rescan or tell.
      if (ListedAsOnDisk(ARelPath)) return;
      std::lock_guard lock(FRateLock);
      if (!FLocalChangeWindow.Admit(GetTickCount64(), [this](uint64_t ADelayMs) {
            Post(ADelayMs, [this] { TakeUpPendingLocalChange(); });
          })) {
        FPendingChangePath = ARelPath;
        return;
      }
      // This take-up covers whatever was waiting for the window's end.
      FPendingChangePath.clear();
      Post(0, [this, path = ARelPath] { TakeUpLocalChange(path, true); });
      break;
    }
    case TFileAction::faDeleted:
      Post(0, [this, path = ARelPath] { TakeUpLocalDelete(path); });
      break;
    case TFileAction::faRenamed:
      break;
  }
}

bool TPondardApp::ListedAsOnDisk(const RawUtf8& ARelPath) const {
  const auto listed = FSyncEngine.Files->Find(ARelPath);
  if (!listed || !Pondar::Core::IsValidDayCount(listed->ModifiedUtc)) return false;
  const auto onDisk = Pondar::Fs::StatEntry(FConfig.Folder, listed->RelPath);
  return onDisk && onDisk->Size == listed->Size &&
         Pondar::Core::RoundHalfEven(std::fabs(onDisk->ModifiedUtc - listed->ModifiedUtc) *
                                     86400.0) == 0;
}

void TPondardApp::TakeUpPendingLocalChange() {
  RawUtf8 path;
  {
    std::lock_guard lock(FRateLock);
    path.swap(FPendingChangePath);
    FLocalChangeWindow.Ended(GetTickCount64(), !path.empty());
  }
  if (!path.empty()) TakeUpLocalChange(path, false);
}

void TPondardApp::TakeUpLocalChange(const RawUtf8& ARelPath, bool AFirstOfWindow) {
  const auto peers = PeerList();
  const auto engine = SyncEngine();
  Log(FormatCaption(Captions::LocalChange, {ARelPath}));
  // The first change of a window is all that has been reported since the last take-up, so a
  // file can be listed and told at once; the rescan, a walk of the whole folder, follows.
  // Changes held back in a window may be many, and only the last one is kept: those are told
  // once the rescan has listed them all. Every change of the list is told as it is made, so a
  // rescan that finds the list as it was has nothing new to tell.
  if (AFirstOfWindow) {
    if (const auto entry = Pondar::Fs::StatEntry(FConfig.Folder, ARelPath)) {
      FSyncEngine.Files->Store(*entry);
      engine.NotifyPeersOfChange(peers);
    }
  }
  if (RescanEntries()) engine.NotifyPeersOfChange(peers);
}

void TPondardApp::TakeUpLocalDelete(const RawUtf8& ARelPath) {
  const auto peers = PeerList();
  Log(FormatCaption(Captions::LocalDelete, {ARelPath}));
  std::vector<RawUtf8> removed = FSyncEngine.Files->RemoveAt(ARelPath);
  // Peers apply deletes to files only: a folder deleted or moved away is told to them file by
  // file, or every file in it would come back with the next pull.
  if (removed.empty()) removed.push_back(ARelPath);
  const auto engine = SyncEngine();
  engine.NotifyPeersOfDelete(removed, peers);
}

bool TPondardApp::RescanEntries() {
  // The walk holds no lock: the server and the syncs go on with the list meanwhile.
  return FSyncEngine.Files->Rescan([this](const Pondar::Fs::TEntrySink& ASink) {
    Pondar::Fs::ScanFolder(FConfig.Folder, ASink);
  });
}

// ---- clipboard ----

void TPondardApp::OnClipboardChanged(const RawUtf8& AText) {
  Pondar::Net::ForEachPeerAtOnce(PeerList(), [&AText](const TPeerInfo& APeer) {
    Pondar::Net::SendClipboardText(APeer.IP, APeer.TcpPort, AText);
  });
  // Said also with no peer or a failed send: the line tells what left this desk's clipboard.
  Log(FormatCaption(Captions::ClipboardSent, {static_cast<int64_t>(AText.size())}));
}

void TPondardApp::OnClipboardReceived(const RawUtf8& AText) {
  // The hash first: the watcher must know the text before the write makes it a change.
  const auto watcher = ClipboardWatcher();
  const auto hash = Pondar::Clipboard::ClipboardTextHash(AText);
  if (watcher) watcher->SetReceivedHash(hash);
  const auto bytes = static_cast<int64_t>(AText.size());
  if (!FClipboard || !Pondar::Clipboard::WriteClipboardText(*FClipboard, AText)) {
    if (watcher) watcher->ForgetReceivedHash(hash);
    Log(FormatCaption(Captions::ClipboardNotApplied, {bytes}));
    return;
  }
  Log(FormatCaption(Captions::ClipboardReceived, {bytes}));
  if (FConfig.Sound) PlaySound(TSound::Notification);
}

// ---- screen ----

void TPondardApp::OnScreenCaptured(TBytes AData) {
  const auto discovery = Discovery();
  if (!discovery) return;
  int32_t idle = 0;
  if (!FScreenSend->Sending.compare_exchange_strong(idle, 1)) return;  // one frame in flight
  auto peers = discovery->GetPeerList();
  if (peers.empty()) {
    FScreenSend->Sending.exchange(0);
    return;
  }
  // The thread owns what it sends and shares only the counters, so it may outlive the engine.
  auto job = [state = FScreenSend, name = FConfig.Name, peers = std::move(peers),
              data = std::move(AData)] {
    struct TEndOfPass {
      TScreenSendState& State;
      ~TEndOfPass() { State.Sending.exchange(0); }
    } endOfPass{*state};
    bool allSent = true;
    for (const auto& peer : peers)
      if (!Pondar::Net::SendScreenFrame(peer.IP, peer.TcpPort, name, data)) allSent = false;
    if (allSent) {
      state->Fails.exchange(0);
    } else {
      state->Fails.fetch_add(1);
    }
  };
  try {
    FScreenSenders->Run(std::move(job), "Screen sender", ProblemReport());
  } catch (const std::system_error&) {
    FScreenSend->Sending.exchange(0);  // no thread: this frame is dropped, the next one tried
  }
}

void TPondardApp::OnScreenFrameReceived(const RawUtf8& APeerName, const TBytes& AData) {
  if (FSinks->FramesQueued.fetch_add(1) >= MaxQueuedFrames) {
    FSinks->FramesQueued.fetch_sub(1);
    return;
  }
  FQueue->Deliver([sinks = FSinks, name = APeerName, data = AData] {
    sinks->FramesQueued.fetch_sub(1);
    if (sinks->ScreenFrame) sinks->ScreenFrame(name, data);
  });
}

// ---- the shared file list ----

TFileEntries TPondardApp::Entries() const {
  return FSyncEngine.Files->Entries();
}

uint16_t TPondardApp::ServerPort() const {
  return FServer ? FServer->BoundPort() : 0;
}

}  // namespace Pondard::App
