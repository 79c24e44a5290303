// The screen source of a Wayland desktop: the desktop portal asks the user once, then hands over
// the screen as a PipeWire stream. And the one place that picks the source for this desktop.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "screen/Capture.h"

namespace Pondard::Screen {

struct TPortalOptions {
  // From the last share the user allowed; spares the dialog while the desktop still takes it.
  std::string RestoreToken;
  // Called once the user (or the token) allowed the share, with the token that replaces the one
  // handed in (empty when the desktop keeps none: the old one is spent either way). Runs on the
  // source's own thread; must not throw.
  std::function<void(const std::string& AToken)> OnRestoreToken;
};

// Starts asking the portal on a thread of its own and returns at once: the answer may wait for
// the user. Until the screen arrives, Size says so (false); a refusal, a missing portal or an
// ended share make Size throw TScreenUnavailable with the reason. Destroying the source closes
// the share and ends its threads (at once, also while the dialog is open).
// Throws std::system_error when no thread can be started.
std::unique_ptr<TScreenSource> OpenPortalScreenSource(TPortalOptions AOptions);

enum class TScreenSourceKind { X11, Portal };

// The portal where the session is Wayland (ASessionType, $XDG_SESSION_TYPE, is "wayland", or
// AWaylandDisplay, $WAYLAND_DISPLAY, is set and not empty): there the X display, if any, is a
// bridge that shows only the windows of X11 programs. X11 otherwise. Null means unset.
TScreenSourceKind ChooseScreenSource(const char* ASessionType, const char* AWaylandDisplay);

// The screen of the desktop this process runs on, by ChooseScreenSource over its environment:
// the X display of $DISPLAY, or the portal with AOptions. Null, with AWhy, as
// OpenX11ScreenSource says.
std::unique_ptr<TScreenSource> OpenDesktopScreenSource(TPortalOptions AOptions, std::string& AWhy);

}  // namespace Pondard::Screen
