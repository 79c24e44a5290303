#include "ui/DesktopScreen.h"

#include <exception>
#include <memory>
#include <mutex>

#include "app/Config.h"
#include "screen/PortalScreenSource.h"

namespace Pondard::UI {

App::TScreenSourceFactory DesktopScreenSource(std::string ARestoreToken,
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
        App::SaveScreenRestoreToken(ANew);
      } catch (const std::exception& AError) {
        Pondar::Core::ReportProblem(report, AError.what());
      }
    };
    return Pondard::Screen::OpenDesktopScreenSource(std::move(options), AWhy);
  };
}

}  // namespace Pondard::UI
