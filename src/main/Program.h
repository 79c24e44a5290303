// What both programs do alike: the lean pondard, which shares files and links no desktop
// library, and the window's program, pondard-desktop, into which pondard turns (execv, same
// pid) when a window, the clipboard or screen broadcasting is wanted. The two read the same
// options and settings, say the same things the same way, and run the headless peer alike.
#pragma once

#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "app/Config.h"
#include "app/Options.h"

namespace Pondard::Program {

// The heap as a peer that holds large file lists wants it; first thing in main.
void TuneMalloc();

// --help, --version and --new-key, which need no settings and start no peer: the exit status
// when one of them was given and has been answered, else nothing.
std::optional<int> AnswerInfoSwitches(const App::TProgramSwitches& ASwitches);

// True when an X server answers on $DISPLAY; otherwise AWhy says why not. Qt itself would end
// the process when it cannot reach the display, so this is asked first. The X library is
// loaded for the question only, and let go again: a peer that runs headless never keeps it.
bool XDisplayReachable(std::string& AWhy);

// The settings skip what they do not know, so that a launcher's own arguments do no harm; named
// on standard error, so that a mistyped option (or one of a newer version) is not taken as
// obeyed.
void WarnAboutUnknownArguments(const std::vector<std::string>& AArgs);

// Everything between the options and the engine: --in-pondar-folder, warnings about the command
// line (the unknown arguments only when AHeadless: the window's program asks once Qt has
// chosen), the stop signals blocked into AStopSignals for a thread of their own to take, and
// the settings read into AConfig. The exit status when the peer must not start.
std::optional<int> PrepareRun(const std::vector<std::string>& AArgs,
                              const App::TProgramSwitches& ASwitches, bool AHeadless,
                              App::TPondardConfig& AConfig, sigset_t& AStopSignals);

// The line a peer starts with on standard error.
void SayStarting(const App::TPondardConfig& AConfig);

// One log line to standard output, flushed at once: scripts and the journal read it live.
void PrintLine(const App::RawUtf8& ALine);

}  // namespace Pondard::Program
