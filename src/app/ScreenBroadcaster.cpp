#include "app/ScreenBroadcaster.h"

#include <exception>
#include <mutex>
#include <system_error>

#include "app/Config.h"
#include "core/Captions.h"
#include "net/Transfer.h"
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
                                       std::string ARestoreToken)
    : FRoute(std::move(ARoute)),
      FPeers(std::move(APeers)),
      FState(std::make_shared<TSendState>()),
      FSenders(std::make_shared<TShortLivedThreads>()),
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
  int32_t idle = 0;
  if (!FState->Sending.compare_exchange_strong(idle, 1)) return;  // one frame in flight
  auto peers = FPeers();
  if (peers.empty()) {
    FState->Sending.exchange(0);
    return;
  }
  auto job = [state = FState, name = FName, peers = std::move(peers), data = std::move(AData)] {
    struct TEndOfPass {
      TSendState& State;
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
    FSenders->Run(std::move(job), "Screen sender", FRoute.Problems());
  } catch (const std::system_error&) {
    FState->Sending.exchange(0);  // no thread: this frame is dropped, the next one tried
  }
}

}  // namespace Pondard::App
