#include "app/ScreenBroadcaster.h"

#include <system_error>

#include "core/Captions.h"
#include "net/Outbox.h"
#include "screen/Capture.h"

namespace Pondard::App {

namespace Captions = Pondar::Core::Captions;

TScreenBroadcaster::TScreenBroadcaster(TSinkRoute ARoute, TPeerListSource APeers,
                                       std::shared_ptr<Pondar::Net::TPeerOutbox> AOutbox)
    : FRoute(std::move(ARoute)),
      FPeers(std::move(APeers)),
      FState(std::make_shared<TSendState>()),
      FOutbox(std::move(AOutbox)) {}

TScreenBroadcaster::~TScreenBroadcaster() {
  Stop();
}

void TScreenBroadcaster::SetSource(TScreenSourceFactory AFactory) {
  FSource = std::move(AFactory);
}

void TScreenBroadcaster::Start(const RawUtf8& AName, bool ACapture) {
  FName = AName;
  if (!ACapture || FCapture) return;
  std::string why = "this program captures no screen";
  auto source = FSource ? FSource(why) : nullptr;
  if (!source) {
    FRoute.Warn(Pondard::Screen::ScreenUnavailablePrefix + why);
    return;
  }
  const std::string which = source->Describe();
  FCapture =
      std::make_unique<Pondard::Screen::TScreenCaptureThread>(CaptureIntervalMs, std::move(source));
  FCapture->OnFrame = [this](TBytes AData) { OnCaptured(std::move(AData)); };
  FCapture->OnProblem = FRoute.Problems();
  if (StartOrWarn(*FCapture, FRoute)) {
    FRoute.Log(RawUtf8(Captions::ScreenBroadcastStarted) +
               (which.empty() ? "" : " (" + which + ")"));
  } else {
    FCapture.reset();
  }
}

void TScreenBroadcaster::Stop() {
  if (!FCapture) return;
  FCapture->Terminate();
  FCapture->WaitFor();
  FCapture.reset();
}

void TScreenBroadcaster::OnCaptured(TBytes AData) {
  const auto peers = FPeers();
  if (peers.empty()) return;
  FState->Sending.fetch_add(1);
  FOutbox->PostFrame(peers, Pondar::Net::ScreenFrameMessage(FName, AData),
                     [state = FState](bool AAllSent) {
                       if (AAllSent) {
                         state->Fails.store(0);
                       } else {
                         state->Fails.fetch_add(1);
                       }
                       state->Sending.fetch_sub(1);
                     });
}

}  // namespace Pondard::App
