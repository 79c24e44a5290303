// What the window attaches to the engine, and the one way every thread reaches it: log lines,
// download progress, peers' screen pictures and sounds, all handed over through the delivery
// queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/DeliveryQueue.h"
#include "core/Types.h"
#include "core/Worker.h"
#include "screen/Picture.h"

namespace Pondard::App {

using Pondar::Core::RawUtf8;
using Pondar::Core::TBytes;

using TLogSink = std::function<void(const RawUtf8& ALine)>;
// A peer's screen as of its latest frame, decoded; an empty picture says that the peer has gone
// and its screen with it.
using TScreenPictureSink =
    std::function<void(const RawUtf8& APeerName, const Pondard::Screen::TScreenPicture& APicture)>;
enum class TSound { Notification, Error };
using TSoundHook = std::function<void(TSound ASound)>;
// A download of Pondar::Sync::TSyncEngine::ProgressThreshold bytes or more on its way.
using TTransferProgressSink =
    std::function<void(const RawUtf8& ARelPath, int64_t AReceived, int64_t ATotal)>;

// The sinks are set and called only on the owner thread of the delivery queue; the counters,
// and HasLog, which lets workers skip formatting when nobody listens, are read on any thread.
struct TAppSinks {
  TLogSink Log;
  TScreenPictureSink ScreenPicture;
  TSoundHook Sound;
  std::atomic<bool> HasLog{false};
  TTransferProgressSink Progress;
  // Progress updates handed to the queue and not yet delivered, and when the last one left.
  std::atomic<int> ProgressQueued{0};
  std::atomic<uint64_t> LastProgressTick{0};
};

// The road to the sinks from any thread: each call builds what it hands on, here, and queues
// it; the sink runs later on the queue's owner thread (at once when called there). Nothing here
// blocks or waits for the window. A route holds shared state only, so that a copy may be kept by
// a thread that outlives a restart, or the engine itself: deliveries that arrive after the
// sinks were cleared find none.
class TSinkRoute {
 public:
  TSinkRoute(std::shared_ptr<TDeliveryQueue> AQueue, std::shared_ptr<TAppSinks> ASinks)
      : FQueue(std::move(AQueue)), FSinks(std::move(ASinks)) {}

  // Stamps AMsg with the local time and queues the line; nothing when no log sink is set.
  void Log(const RawUtf8& AMsg) const;
  // A problem the user must hear of: a "⚠" line, and the same on standard error, because the
  // log may have no reader (a window not yet shown, a headless peer whose output nobody keeps).
  void Warn(const RawUtf8& AMsg) const;
  // Warn, for the workers' problem reports.
  Pondar::Core::TOnWorkerProblem Problems() const;
  // A 1 GiB download reports every block; the window needs a few updates a second, and a busy
  // window must not have them pile up: one at a time waits in the queue, none sooner than
  // ProgressIntervalMs after the last, except a file's last (AReceived == ATotal), which
  // always goes.
  void Progress(const RawUtf8& ARelPath, int64_t AReceived, int64_t ATotal) const;
  // A peer's screen picture: ATake runs on the owner thread when the delivery does, and gives
  // the picture to hand over then, so that a delivery that waited carries the newest one.
  void Picture(const RawUtf8& APeerName,
               std::function<Pondard::Screen::TScreenPicture()> ATake) const;
  void Sound(TSound ASound) const;

  static constexpr uint64_t ProgressIntervalMs = 100;

 private:
  std::shared_ptr<TDeliveryQueue> FQueue;
  std::shared_ptr<TAppSinks> FSinks;
};

// Starts AWorker; one that cannot even get a thread is warned of through ARoute, and false
// returned: the engine runs on without it.
bool StartOrWarn(Pondar::Core::TWorkerThread& AWorker, const TSinkRoute& ARoute);

}  // namespace Pondard::App
