#include "screen/PortalScreenSource.h"

#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "core/Worker.h"
#include "screen/PipeWireStream.h"
#include "screen/Portal.h"
#include "screen/X11ScreenSource.h"

namespace Pondard::Screen {

namespace {

// The portal's conversation runs on a worker of its own, which then holds the session open
// (the desktop ends a share whose owner leaves the bus) and watches for its end; its wake-up
// ends every wait on the bus. The stream it gets is the capture thread's to read.
class TPortalScreenSource : public TScreenSource, private Pondar::Core::TWorkerThread {
 public:
  explicit TPortalScreenSource(TPortalOptions AOptions)
      : TWorkerThread("Screen portal"), FOptions(std::move(AOptions)) {
    Start();
  }

  ~TPortalScreenSource() override {
    Terminate();
    WaitFor();
    FStream.reset();
  }

  std::string Describe() const override { return "Wayland desktop through the desktop portal"; }

  bool Size(int& AWidth, int& AHeight) override {
    TScreenSource* stream = Stream();
    return stream && stream->Size(AWidth, AHeight);
  }
  bool Grab(uint8_t* APixels, int AWidth, int AHeight) override {
    TScreenSource* stream = Stream();
    return stream && stream->Grab(APixels, AWidth, AHeight);
  }
  bool SameAsLastGrab() override {
    TScreenSource* stream = Stream();
    return stream && stream->SameAsLastGrab();
  }

 private:
  // The stream once there; throws the reason once the share failed or ended. The stream lives
  // until this source goes, so the pointer stays good on the capture thread.
  TScreenSource* Stream() {
    const std::lock_guard lock(FLock);
    if (!FFailure.empty()) throw TScreenUnavailable(FFailure);
    return FStream.get();
  }

  void Execute() override {
    try {
      TPortalSession session(WakeFd(), [this] { return Terminated(); });
      TPortalGrant grant;
      if (!session.Open(FOptions.RestoreToken, grant)) return;
      if (FOptions.OnRestoreToken && grant.RestoreToken != FOptions.RestoreToken)
        FOptions.OnRestoreToken(grant.RestoreToken);
      auto stream = ConnectPipeWireStream(grant.PipeWireFd, grant.NodeId);
      {
        const std::lock_guard lock(FLock);
        FStream = std::move(stream);
      }
      if (session.WaitClosed()) Fail("the desktop ended the screen share");
    } catch (const TScreenUnavailable& AError) {
      Fail(AError.what());
    } catch (const std::exception& AError) {
      Fail(std::string("the desktop portal could not be used (") + AError.what() + ")");
    }
  }

  void Fail(const std::string& AWhy) {
    const std::lock_guard lock(FLock);
    if (FFailure.empty()) FFailure = AWhy;
  }

  const TPortalOptions FOptions;
  std::mutex FLock;  // guards the two below
  std::string FFailure;
  std::unique_ptr<TScreenSource> FStream;
};

}  // namespace

std::unique_ptr<TScreenSource> OpenPortalScreenSource(TPortalOptions AOptions) {
  return std::make_unique<TPortalScreenSource>(std::move(AOptions));
}

TScreenSourceKind ChooseScreenSource(const char* ASessionType, const char* AWaylandDisplay) {
  const bool wayland = (ASessionType && std::string_view(ASessionType) == "wayland") ||
                       (AWaylandDisplay && *AWaylandDisplay);
  return wayland ? TScreenSourceKind::Portal : TScreenSourceKind::X11;
}

std::unique_ptr<TScreenSource> OpenDesktopScreenSource(TPortalOptions AOptions, std::string& AWhy) {
  if (ChooseScreenSource(std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY")) ==
      TScreenSourceKind::Portal)
    return OpenPortalScreenSource(std::move(AOptions));
  return OpenX11ScreenSource("", AWhy);
}

}  // namespace Pondard::Screen
