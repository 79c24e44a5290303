// The screen of the desktop this peer runs on, for the engine's broadcaster: the X display, or
// the desktop portal. Lives with the window's code because it needs the libraries of the
// desktop (xcb, sd-bus, PipeWire), which a peer that shares files alone never loads.
#pragma once

#include <string>

#include "app/ScreenBroadcaster.h"
#include "core/Worker.h"

namespace Pondard::UI {

// The screen by Pondard::Screen::OpenDesktopScreenSource, the portal handed ARestoreToken. The
// portal's token is kept here rather than in the settings, which the window replaces on Apply:
// every share spends the token it was given, so the one that replaces it is what the next start
// needs, and it goes to the settings file at once (SaveScreenRestoreToken), for the next run of
// the program. A token that cannot be written is reported through AReport.
App::TScreenSourceFactory DesktopScreenSource(std::string ARestoreToken,
                                              Pondar::Core::TOnWorkerProblem AReport);

}  // namespace Pondard::UI
