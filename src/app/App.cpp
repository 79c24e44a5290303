#include "app/App.h"

#include <openssl/crypto.h>

#include <cmath>
#include <system_error>

#include "clipboard/Clipboard.h"
#include "core/Captions.h"
#include "fs/FileList.h"
#include "fs/Watcher.h"
#include "net/Discovery.h"
#include "net/TcpServer.h"
#include "net/Outbox.h"
#include "net/Tls.h"

namespace Pondard::App {

using Pondar::Core::CurrentUtcTime;
using Pondar::Core::FormatCaption;
namespace Captions = Pondar::Core::Captions;

std::optional<int64_t> ClockDriftSeconds(double APeerUtc, double AOurUtc) {
  if (!Pondar::Core::IsValidDayCount(APeerUtc)) return std::nullopt;
  return Pondar::Core::RoundHalfEven(std::fabs(APeerUtc - AOurUtc) * 86400.0);
}

TPondardApp::TPondardApp(TPondardConfig AConfig, std::shared_ptr<TDeliveryQueue> AQueue)
    : FConfig(std::move(AConfig)),
      FQueue(std::move(AQueue)),
      FSinks(std::make_shared<TAppSinks>()),
      FRoute(FQueue, FSinks),
      FOutbox(std::make_shared<Pondar::Net::TPeerOutbox>()),
      FSyncs(FRoute),
      FScreen(
          FRoute, [this] { return PeerList(); }, FOutbox),
      FScreenViews(FRoute, [this] { return PeerList(); }),
      FChanges(FSyncEngine.Files, FRoute,
               {.Peers = [this] { return PeerList(); },
                .SyncWith = [this](const TPeerInfo& APeer) { StartPeerSync(APeer); },
                .SyncsRunning = [this] { return FSyncs.Running() != 0; },
                .Outbox = FOutbox,
                .Walk = {}}) {
  FOutbox->OnProblem = FRoute.Problems();
  StartOrWarn(*FOutbox, FRoute);
}

TPondardApp::~TPondardApp() {
  Stop();
  // Syncs stop between files once cancelled; one that is stuck on a silent peer is left to its
  // network time-out, holding only shared state, rather than holding up the program's exit.
  FSyncEngine.Cancel->store(true, std::memory_order_release);
  // Notices of the last changes still go to the peers that take them at once; one that keeps
  // them waiting is not waited for.
  FOutbox->WaitIdle(std::chrono::milliseconds(1000));
  FOutbox->Terminate();
  FSyncs.WaitIdle(std::chrono::milliseconds(6000));
  FOutbox->WaitFor();
  // Deliveries still queued find no sink.
  FSinks->HasLog.store(false, std::memory_order_release);
  FSinks->Log = nullptr;
  FSinks->ScreenPicture = nullptr;
  FSinks->Sound = nullptr;
}

void TPondardApp::SetLogSink(TLogSink ASink) {
  FSinks->Log = std::move(ASink);
  FSinks->HasLog.store(static_cast<bool>(FSinks->Log), std::memory_order_release);
}

void TPondardApp::SetClipboard(std::shared_ptr<Pondar::Clipboard::TClipboardBackend> AClipboard) {
  FClipboard = std::move(AClipboard);
}

void TPondardApp::SetScreenPictureSink(TScreenPictureSink ASink, TFrameDecoderFactory ADecoders) {
  FSinks->ScreenPicture = std::move(ASink);
  FScreenViews.SetDecoders(std::move(ADecoders));
}

void TPondardApp::SetSoundHook(TSoundHook AHook) {
  FSinks->Sound = std::move(AHook);
}

void TPondardApp::SetTransferProgressSink(TTransferProgressSink ASink) {
  FSinks->Progress = std::move(ASink);
}

// ---- start and stop ----

void TPondardApp::Start() {
  if (FRunning) return;
  FRunning = true;
  const bool online = PrepareNetworkKey() && PrepareTls();
  PrepareSyncEngine();
  FChanges.Start(FConfig.Folder, FFileSharing);
  if (ReceivesScreens()) FScreenViews.Start();
  if (online) StartServer();
  StartFolderWatcher();
  StartClipboardWatcher();
  FScreen.Start(FConfig.Name, FConfig.ScreenBroadcast);
  // Peers hear of this one once its folder is listed: one that heard earlier would pull a list
  // that still lacks files, and nothing would tell it of them later, as this peer would not yet
  // know it. The server listens already, so a peer that hears of it can pull at once. Ready
  // follows; the window goes on meanwhile.
  FChanges.ScanThen([this, online, route = FRoute] {
    if (online) StartDiscovery();
    route.Log(RawUtf8(Captions::Ready));
  });
}

void TPondardApp::Stop() {
  if (!FRunning) return;
  FRunning = false;
  // First, so that discovery, which starts once the folder is listed, does not start after
  // the goodbye.
  FChanges.Stop();
  if (const auto discovery = Discovery()) discovery->SendGoodbye();
  FScreen.Stop();
  StopClipboardWatcher();
  StopFolderWatcher();
  StopServer();
  // No frame arrives any more; the window's viewers go with the receiver's.
  FScreenViews.Stop();
  StopDiscovery();
  // Connections made from now on are plain until the next Start says otherwise; those still
  // open keep their context.
  Pondar::Net::TConnection::SetRequesterTls(nullptr);
  FTls.reset();
}

bool TPondardApp::PrepareNetworkKey() {
  FNetworkKey.reset();
  std::string text, problem;
  if (!FConfig.ReadNetworkKey(text, problem)) {
    Warn(FormatCaption(Captions::NetworkKeyUnusable, {problem}));
    return false;
  }
  if (text.empty() && FConfig.NetworkKeyFile.empty()) return true;
  Pondar::Net::TNetworkKey key{};
  problem = Pondar::Net::DeriveNetworkKey(text, key);
  OPENSSL_cleanse(text.data(), text.size());
  if (!problem.empty()) {
    Warn(FormatCaption(Captions::NetworkKeyUnusable, {problem}));
    return false;
  }
  FNetworkKey = key;
  OPENSSL_cleanse(&key, sizeof key);
  Log(RawUtf8(Captions::NetworkKeyOn));
  return true;
}

bool TPondardApp::PrepareTls() {
  FTls.reset();
  if (FNetworkKey) {
    FTls = Pondar::Net::TTlsContext::Make(FNetworkKey->Stream);
    if (!FTls) {
      Warn(FormatCaption(Captions::NetworkKeyUnusable, {"TLS cannot be set up (OpenSSL refused)"}));
      return false;
    }
  }
  Pondar::Net::TConnection::SetRequesterTls(FTls);
  return true;
}

void TPondardApp::PrepareSyncEngine() {
  // A folder that cannot be shared is not shared at all: neither served, nor watched, nor
  // written to, and a peer's delete notices, taken whatever the settings say, delete nothing.
  const std::string problem = Pondar::Sync::TSyncEngine::RootProblem(FConfig.Folder);
  FFileSharing = FConfig.FileSharing && problem.empty();
  if (FConfig.FileSharing && !problem.empty()) Warn("File sharing is off: " + problem);
  std::lock_guard lock(FWorkersLock);
  FSyncEngine.RootDir = problem.empty() ? FConfig.Folder : std::string();
  FSyncEngine.OnLog = [route = FRoute](const RawUtf8& AMsg) { route.Log(AMsg); };
  FSyncEngine.OnProgress = nullptr;
  if (FSinks->Progress) {
    FSyncEngine.OnProgress = [route = FRoute](const RawUtf8& APath, int64_t AReceived,
                                              int64_t ATotal) {
      route.Progress(APath, AReceived, ATotal);
    };
  }
}

void TPondardApp::StartServer() {
  FServer = std::make_unique<Pondar::Net::TTcpServerThread>(FConfig.TcpPort, FSyncEngine.RootDir,
                                                            FSyncEngine.Files);
  FServer->OnDeleteNotify = [this](const RawUtf8& APath) { OnRemoteDelete(APath); };
  FServer->OnChangesNotify = [this](const RawUtf8& AIP) { OnChangesNotify(AIP); };
  if (FConfig.Clipboard && FClipboard) {
    FServer->OnClipboardNotify = [this](const RawUtf8& AText) { OnClipboardReceived(AText); };
  }
  if (ReceivesScreens()) {
    FServer->OnScreenFrame = [this](const RawUtf8& AIP, const RawUtf8& AName, const TBytes& AData) {
      OnScreenFrameReceived(AIP, AName, AData);
    };
  }
  FServer->OnProblem = FRoute.Problems();
  FServer->SetTls(FTls);
  // Listening before discovery announces this peer: a peer that hears of it may pull at once.
  // A port that cannot be had is reported by the server thread, which tries once more.
  FServer->Listen();
  if (!StartOrWarn(*FServer, FRoute)) FServer.reset();
}

void TPondardApp::StartDiscovery() {
  auto discovery = std::make_shared<Pondar::Net::TDiscoveryThread>(FConfig.Name, FConfig.UdpPort,
                                                                   FConfig.TcpPort);
  discovery->OnPeerDiscovered = [this](const TPeerInfo& APeer) { OnPeerDiscovered(APeer); };
  discovery->OnPeerLost = [this](const TPeerInfo& APeer) { OnPeerGone(APeer); };
  discovery->OnProblem = FRoute.Problems();
  if (FNetworkKey) discovery->DatagramKey = FNetworkKey->Datagram;
  if (!StartOrWarn(*discovery, FRoute)) return;
  std::lock_guard lock(FWorkersLock);
  FDiscovery = std::move(discovery);
}

void TPondardApp::StartFolderWatcher() {
  if (!FFileSharing) return;
  try {
    // The watcher consults the sync engine's suppressions and feeds its memory of deletes.
    FWatcher = std::make_shared<Pondar::Fs::TFileWatcher>(
        FConfig.Folder, FSyncEngine.Suppressions, FSyncEngine.RecentDeletes, FRoute.Problems());
    FWatcher->SetOnChange(
        [this](TFileAction AAction, const RawUtf8& APath, bool AMoreComing) {
          OnFileChange(AAction, APath, AMoreComing);
        });
  } catch (const std::system_error& AError) {
    Warn(std::string("Folder watcher cannot start: ") + AError.what());
  }
}

void TPondardApp::StartClipboardWatcher() {
  if (!FConfig.Clipboard || !FClipboard) return;
  try {
    auto watcher = std::make_shared<Pondar::Clipboard::TClipboardWatcher>(
        FClipboard, [this](const RawUtf8& AText) { OnClipboardChanged(AText); });
    std::lock_guard lock(FWorkersLock);
    FClipboardWatcher = std::move(watcher);
  } catch (const std::system_error& AError) {
    Warn(std::string("Clipboard watcher cannot start: ") + AError.what());
  }
}

void TPondardApp::StopClipboardWatcher() {
  const auto watcher = ClipboardWatcher();
  if (!watcher) return;
  // It may be sending a copy to the peers; that ends within one network time-out.
  watcher->Terminate();
  watcher->WaitFor();
  std::lock_guard lock(FWorkersLock);
  FClipboardWatcher.reset();
}

void TPondardApp::StopFolderWatcher() {
  if (!FWatcher) return;
  FWatcher->Terminate();
  FWatcher->WaitFor();
  FWatcher.reset();
}

void TPondardApp::StopServer() {
  if (!FServer) return;
  FServer->Terminate();
  FServer->WaitFor();
  FServer.reset();
}

void TPondardApp::StopDiscovery() {
  const auto discovery = Discovery();
  if (!discovery) return;
  discovery->Terminate();
  discovery->WaitFor();
  std::lock_guard lock(FWorkersLock);
  FDiscovery.reset();
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
    if (FConfig.Sound) FRoute.Sound(TSound::Notification);
    StartPeerSync(APeer);
  } else {
    Log(FormatCaption(Captions::ClockDrift, {APeer.Name, *drift, MaxClockDriftSeconds}));
  }
}

void TPondardApp::OnPeerGone(const TPeerInfo& APeer) {
  // Runs on the discovery thread, after the peer is out of its table: queue a line and a
  // sound, and let its screen go.
  Log(FormatCaption(Captions::PeerLost, {APeer.Name}));
  if (FConfig.Sound) FRoute.Sound(TSound::Error);
  FScreenViews.OnPeerGone(APeer);
}

void TPondardApp::StartPeerSync(const TPeerInfo& APeer) {
  if (!FFileSharing) return;
  FSyncs.Start(APeer, SyncEngine());
}

void TPondardApp::OnRemoteDelete(const RawUtf8& ARelPath) {
  SyncEngine().HandleRemoteDelete(ARelPath);
}

// ---- clipboard ----

void TPondardApp::OnClipboardChanged(const RawUtf8& AText) {
  FOutbox->Post(PeerList(), {Pondar::Net::ClipboardTextMessage(AText)});
  // Said also with no peer or a failed send: the line tells what left this desk's clipboard.
  Log(FormatCaption(Captions::ClipboardSent, {static_cast<int64_t>(AText.size())}));
}

void TPondardApp::OnClipboardReceived(const RawUtf8& AText) {
  const auto bytes = static_cast<int64_t>(AText.size());
  // The desktop would keep such a text otherwise than it came (cut at its NUL, or with
  // replacement characters); what it is meant to say cannot be known, and the text is shown
  // nowhere, so its size alone goes in the log.
  if (!Pondar::Clipboard::IsShareableText(AText)) {
    Log(FormatCaption(Captions::ClipboardRefused, {bytes}));
    return;
  }
  // The hash first: the watcher must know the text before the write makes it a change.
  const auto watcher = ClipboardWatcher();
  const auto hash = Pondar::Clipboard::ClipboardTextHash(AText);
  if (watcher) watcher->SetReceivedHash(hash);
  if (!FClipboard || !Pondar::Clipboard::WriteClipboardText(*FClipboard, AText)) {
    if (watcher) watcher->ForgetReceivedHash(hash);
    Log(FormatCaption(Captions::ClipboardNotApplied, {bytes}));
    return;
  }
  Log(FormatCaption(Captions::ClipboardReceived, {bytes}));
  if (FConfig.Sound) FRoute.Sound(TSound::Notification);
}

// ---- the shared file list ----

TFileEntries TPondardApp::Entries() const {
  return FSyncEngine.Files->Entries();
}

uint16_t TPondardApp::ServerPort() const {
  return FServer ? FServer->BoundPort() : 0;
}

}  // namespace Pondard::App
