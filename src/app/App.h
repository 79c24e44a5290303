// The program's engine: starts and stops every worker in a fixed order, owns the settings and
// the shared file list, and routes every worker event, and every log line to the window.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "app/Config.h"
#include "app/DeliveryQueue.h"
#include "app/RateWindow.h"
#include "app/TimerQueue.h"
#include "core/Types.h"
#include "core/Worker.h"
#include "sync/Engine.h"

namespace Pondar::Net {
class TDiscoveryThread;
class TTcpServerThread;
}  // namespace Pondar::Net
namespace Pondar::Fs {
class TFileWatcher;
}
namespace Pondard::Screen {
class TScreenSource;
class TScreenCaptureThread;
}  // namespace Pondard::Screen
namespace Pondar::Clipboard {
class TClipboardBackend;
class TClipboardWatcher;
}  // namespace Pondar::Clipboard

namespace Pondard::App {

using Pondar::Core::TBytes;
using Pondar::Core::TFileAction;
using Pondar::Core::TFileEntries;
using Pondar::Core::TPeerInfo;
using Pondar::Core::TPeerInfoDynArray;

using TLogSink = std::function<void(const RawUtf8& ALine)>;
using TAppScreenFrameEvent = std::function<void(const RawUtf8& APeerName, const TBytes& AData)>;
enum class TSound { Notification, Error };
using TSoundHook = std::function<void(TSound ASound)>;
// A download of Pondar::Sync::TSyncEngine::ProgressThreshold bytes or more on its way.
using TTransferProgressSink =
    std::function<void(const RawUtf8& ARelPath, int64_t AReceived, int64_t ATotal)>;

// Where the screen to broadcast comes from; nullptr, with the reason in AWhy, when there is none.
using TScreenSourceFactory =
    std::function<std::unique_ptr<Pondard::Screen::TScreenSource>(std::string& AWhy)>;

// Short-lived threads (one sync or one screen send each) that run detached but are counted, so that
// the engine can wait for them, with a bound, when it goes away.
class TShortLivedThreads : public std::enable_shared_from_this<TShortLivedThreads> {
 public:
  // Runs AJob on a new thread. An exception escaping it is reported through AReport as
  // "<AContext>: <message>" and ends only that thread. Throws std::system_error, counting
  // nothing, when no thread can be started.
  void Run(std::function<void()> AJob, RawUtf8 AContext, Pondar::Core::TOnWorkerProblem AReport);
  // Waits until none runs or ATimeout has passed; true when none runs.
  bool WaitIdle(std::chrono::milliseconds ATimeout);
  size_t Count();

 private:
  std::mutex FMutex;  // guards FCount
  std::condition_variable FIdle;
  size_t FCount = 0;
};

// At most one sync per peer at a time, and at most one more waiting behind it: discoveries and
// notices that come while a peer's sync runs fold into the one waiting, which the running
// sync's thread takes up when it ends. Without this every notice of a busy peer started a sync
// of its own, all pulling and comparing the same list at once.
class TPeerSyncQueue {
 public:
  using TJob = std::function<void()>;
  // True when no sync of APeer runs: the caller starts AJob on a thread of its own through
  // RunQueued. False when one runs: AJob replaces the one waiting, if any.
  bool Admit(const RawUtf8& APeer, TJob AJob);
  // Runs AJob, then every job that waits for APeer when the one before ends. An exception
  // escaping a job is reported through AReport and ends only that job.
  void RunQueued(const RawUtf8& APeer, TJob AJob, const Pondar::Core::TOnWorkerProblem& AReport);
  // For a thread that could not be started after Admit: APeer runs nothing after all.
  void Release(const RawUtf8& APeer);

 private:
  std::mutex FLock;                  // guards FWaiting
  std::map<RawUtf8, TJob> FWaiting;  // a key per peer whose sync runs; empty job: none waits
};

// The peer's clock drift in whole seconds, halves to even (5.5 s gives 6); nullopt when the
// peer's reading is no valid time at all (not finite, before 1899 or after 9999).
std::optional<int64_t> ClockDriftSeconds(double APeerUtc, double AOurUtc);

// What the window attaches to the engine. Touched only on the owner thread of the delivery
// queue, except HasLog, which lets workers skip formatting when nobody listens.
struct TAppSinks {
  TLogSink Log;
  TAppScreenFrameEvent ScreenFrame;
  TSoundHook Sound;
  std::atomic<bool> HasLog{false};
  TTransferProgressSink Progress;
  // Progress updates handed to the queue and not yet delivered, and when the last one left.
  std::atomic<int> ProgressQueued{0};
  std::atomic<uint64_t> LastProgressTick{0};
  // Received frames handed to the queue and not yet delivered: bounded, so that a busy window
  // drops frames instead of piling them up.
  std::atomic<int> FramesQueued{0};
};

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
  // Goodbye first, then every worker stopped and freed; running syncs are left to finish.
  void Stop();
  bool Running() const { return FRunning; }
  // The settings; change them only while stopped.
  TPondardConfig& Config() { return FConfig; }

  // The screen to broadcast, set before Start. When never set: the desktop's own, by
  // Pondard::Screen::OpenDesktopScreenSource (the portal's token taken from the settings).
  void SetScreenSource(TScreenSourceFactory AFactory);
  // The desktop's clipboard, set before Start; without one, clipboard sharing stays off.
  void SetClipboard(std::shared_ptr<Pondar::Clipboard::TClipboardBackend> AClipboard);
  void SetLogSink(TLogSink ASink);
  void SetScreenFrameSink(TAppScreenFrameEvent ASink);
  void SetSoundHook(TSoundHook AHook);
  // Set before Start. A few updates a second per download, and always its last one (AReceived
  // == ATotal, also the only one of a file that arrives at once). Without a sink (a peer
  // without a window) the syncs report no progress at all.
  void SetTransferProgressSink(TTransferProgressSink ASink);

  // Stamps AMsg with the local time and hands the line to the log sink through the queue.
  void Log(const RawUtf8& AMsg);
  // A problem the user must hear of: a "⚠" log line, and the same on standard error. Any thread.
  void Warn(const RawUtf8& AMsg);
  TPeerInfoDynArray GetPeers() const;

  // Worker events.
  void OnPeerDiscovered(const TPeerInfo& APeer);
  void OnPeerGone(const TPeerInfo& APeer);
  void OnChangesNotify(const RawUtf8& APeerIP, uint16_t ATcpPort);
  void OnRemoteDelete(const RawUtf8& ARelPath);
  // Hands the change to the engine's work thread and returns: the watcher goes on reading.
  void OnFileChange(TFileAction AAction, const RawUtf8& ARelPath);
  // New local clipboard text: sent to every peer, on the clipboard watcher's thread.
  void OnClipboardChanged(const RawUtf8& AText);
  // A peer's clipboard text: written into the local clipboard without coming back.
  void OnClipboardReceived(const RawUtf8& AText);
  // A frame of the local screen: sent to every peer on one sender thread, or dropped while the
  // previous frame is still on its way.
  void OnScreenCaptured(TBytes AData);
  // A peer's screen frame, handed to the frame sink on the owner thread.
  void OnScreenFrameReceived(const RawUtf8& APeerName, const TBytes& AData);

  bool SendingScreen() const { return FScreenSend->Sending.load() != 0; }
  // Send passes in a row in which some peer could not be sent the frame.
  int32_t ScreenSendFails() const { return FScreenSend->Fails.load(); }

  // A copy of the shared file list, taken under its lock.
  TFileEntries Entries() const;
  // The TCP port the server listens on, 0 while it does not.
  uint16_t ServerPort() const;
  size_t RunningSyncs() const { return FSyncThreads->Count(); }

  // A local change is taken up at most once per window, and a peer's change notice likewise;
  // what arrives inside a window is taken up once when it ends, so the last change is never lost.
  static constexpr uint64_t LocalChangeWindowMs = 2000;
  static constexpr uint64_t ChangeNoticeWindowMs = 3000;
  static constexpr int64_t MaxClockDriftSeconds = 5;
  static constexpr int ScreenCaptureIntervalMs = 200;
  // Frames from peers waiting for the window; more are dropped until it catches up (the next
  // key frame repairs what a dropped delta leaves stale).
  static constexpr int MaxQueuedFrames = 4;

 private:
  // What a sync thread, a handler or the work thread uses of the sync engine: a copy taken under
  // FWorkersLock, so that Start and Stop may change the watcher meanwhile.
  Pondar::Sync::TSyncEngine SyncEngine() const;
  void StartPeerSync(const TPeerInfo& APeer);
  void SyncWithPeerAt(const RawUtf8& APeerIP);
  // Runs AAction on the work thread ADelayMs from now; nothing once the engine has stopped.
  void Post(uint64_t ADelayMs, std::function<void()> AAction);
  // True when the file is on disk with the size and whole-second time the list gives it.
  bool ListedAsOnDisk(const RawUtf8& ARelPath) const;
  void TakeUpLocalChange(const RawUtf8& ARelPath, bool AFirstOfWindow);
  void TakeUpLocalDelete(const RawUtf8& ARelPath);
  void TakeUpPendingLocalChange();
  void TakeUpPendingNotices();
  // True when the list changed.
  bool RescanEntries();
  void RemoveLeftoverDownloads(const std::vector<std::string>& APaths);
  void PlaySound(TSound ASound);
  std::shared_ptr<Pondar::Net::TDiscoveryThread> Discovery() const;
  std::shared_ptr<Pondar::Clipboard::TClipboardWatcher> ClipboardWatcher() const;
  TPeerInfoDynArray PeerList() const;
  Pondar::Core::TOnWorkerProblem ProblemReport();

  TPondardConfig FConfig;
  const std::shared_ptr<TDeliveryQueue> FQueue;
  const std::shared_ptr<TAppSinks> FSinks;
  const std::shared_ptr<TShortLivedThreads> FSyncThreads;
  const std::shared_ptr<TPeerSyncQueue> FPeerSyncs;  // shared with the sync threads
  // Shared with the screen sender thread, which may finish after the engine is gone.
  struct TScreenSendState {
    std::atomic<int32_t> Sending{0};  // 1 while a frame is on its way to the peers
    std::atomic<int32_t> Fails{0};
  };
  const std::shared_ptr<TScreenSendState> FScreenSend;
  const std::shared_ptr<TShortLivedThreads> FScreenSenders;
  TScreenSourceFactory FScreenSource;
  bool FRunning = false;

  std::shared_ptr<Pondar::Clipboard::TClipboardBackend> FClipboard;

  // Guards FDiscovery, FSyncEngine and FClipboardWatcher, which handlers on worker threads read
  // while Start and Stop, on the owner thread, replace what they hold.
  mutable std::mutex FWorkersLock;
  std::shared_ptr<Pondar::Net::TDiscoveryThread> FDiscovery;
  Pondar::Sync::TSyncEngine FSyncEngine;  // its Files is the shared list
  std::unique_ptr<Pondar::Net::TTcpServerThread> FServer;
  std::unique_ptr<Pondard::Screen::TScreenCaptureThread> FScreenCapture;
  std::shared_ptr<Pondar::Fs::TFileWatcher> FWatcher;
  std::shared_ptr<Pondar::Clipboard::TClipboardWatcher> FClipboardWatcher;
  // One thread for the engine's own work, one action after another: local creates, modifies
  // and deletes (rescans, list edits and notices, in the order they happened), and the take-ups
  // deferred to the end of a rate window. Exists while running.
  std::unique_ptr<TTimerQueue> FWork;

  std::mutex FRateLock;  // guards the rate windows and what they hold back
  TRateWindow FNoticeWindow{ChangeNoticeWindowMs};      // peers' change notices, all peers
  std::set<RawUtf8> FPendingNoticeIPs;                  // senders held back in the window
  TRateWindow FLocalChangeWindow{LocalChangeWindowMs};  // local creates and modifies
  RawUtf8 FPendingChangePath;                           // the last one held back
};

}  // namespace Pondard::App
