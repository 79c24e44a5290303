#include "app/Sinks.h"

#include <cstdio>
#include <system_error>

#include "core/Captions.h"

namespace Pondard::App {

namespace Captions = Pondar::Core::Captions;

void TSinkRoute::Log(const RawUtf8& AMsg) const {
  if (!FSinks->HasLog.load(std::memory_order_acquire)) return;
  RawUtf8 line =
      Pondar::Core::FormatCaption(Captions::LogLine, {Pondar::Core::LocalTimeText(), AMsg});
  FQueue->Deliver([sinks = FSinks, line = std::move(line)] {
    if (sinks->Log) sinks->Log(line);
  });
}

void TSinkRoute::Warn(const RawUtf8& AMsg) const {
  // A report may quote what a peer sent (a name, a path in an error): escaped here as in the log.
  std::fprintf(stderr, "pondard: %s\n", Pondar::Core::EscapeForLog(AMsg).c_str());
  Log(Pondar::Core::FormatCaption(Captions::Problem, {AMsg}));
}

Pondar::Core::TOnWorkerProblem TSinkRoute::Problems() const {
  return [route = *this](const RawUtf8& AMsg) { route.Warn(AMsg); };
}

void TSinkRoute::Progress(const RawUtf8& ARelPath, int64_t AReceived, int64_t ATotal) const {
  if (AReceived < ATotal) {
    const uint64_t now = Pondar::Core::GetTickCount64();
    if (FSinks->ProgressQueued.load() > 0 ||
        now - FSinks->LastProgressTick.load() < ProgressIntervalMs)
      return;
    FSinks->LastProgressTick.store(now);
  }
  FSinks->ProgressQueued.fetch_add(1);
  FQueue->Deliver([sinks = FSinks, ARelPath, AReceived, ATotal] {
    sinks->ProgressQueued.fetch_sub(1);
    if (sinks->Progress) sinks->Progress(ARelPath, AReceived, ATotal);
  });
}

void TSinkRoute::Picture(const RawUtf8& APeerName,
                         std::function<Pondard::Screen::TScreenPicture()> ATake) const {
  FQueue->Deliver([sinks = FSinks, name = APeerName, take = std::move(ATake)] {
    const Pondard::Screen::TScreenPicture picture = take();
    if (sinks->ScreenPicture) sinks->ScreenPicture(name, picture);
  });
}

void TSinkRoute::Sound(TSound ASound) const {
  FQueue->Deliver([sinks = FSinks, ASound] {
    if (sinks->Sound) sinks->Sound(ASound);
  });
}

bool StartOrWarn(Pondar::Core::TWorkerThread& AWorker, const TSinkRoute& ARoute) {
  try {
    AWorker.Start();
    return true;
  } catch (const std::system_error& AError) {
    ARoute.Warn(AWorker.Name() + " cannot start: " + AError.what());
    return false;
  }
}

}  // namespace Pondard::App
