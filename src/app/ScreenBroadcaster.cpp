#include "app/ScreenBroadcaster.h"

#include <exception>
#include <mutex>
#include <system_error>

#include "app/Config.h"
#include "core/Captions.h"
#include "net/Outbox.h"
#include "screen/Capture.h"
#include "screen/PortalScreenSource.h"

namespace Pondard::App {

namespace Captions = Pondar::Core::Captions;

TScreenSourceFactory DesktopScreenSource(std::string ARestoreToken,
                                         Pondar::Core::TOnWorkerProblem AReport) {
  struct TToken {
    std::mutex Lock;
    std::string Value;
  };
  auto token = std::make_shared<TToken>();
  token->Value = std::move(ARestoreToken);
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

TScreenBroadcaster::TScreenBroadcaster(TSinkRoute ARoute, TPeerListSource APeers,
                                       std::shared_ptr<Pondar::Net::TPeerOutbox> AOutbox,
                                       std::string ARestoreToken)
    : FRoute(std::move(ARoute)),
      FPeers(std::move(APeers)),
      FState(std::make_shared<TSendState>()),
      FOutbox(std::move(AOutbox)),
      FSource(DesktopScreenSource(std::move(ARestoreToken), FRoute.Problems())) {}

TScreenBroadcaster::~TScreenBroadcaster() {
  Stop();
}

void TScreenBroadcaster::SetSource(TScreenSourceFactory AFactory) {
  FSource = std::move(AFactory);
}

void TScreenBroadcaster::Start(const RawUtf8& AName, bool ACapture) {
  FName = AName;
  if (!ACapture || FCapture) return;
  std::string why;
  auto source = FSource(why);
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
