// The screen source of an X display: the primary RandR output, read through MIT-SHM.
#pragma once

#include <memory>
#include <string>

#include "screen/Capture.h"

namespace Pondard::Screen {

// Opens ADisplay ("" = $DISPLAY) as a screen source for the capture thread. Null, with AWhy
// saying why in one line, when no display can be opened or its colour format cannot be turned
// into the frame's 24-bit pixels (only visuals of 32 bits a pixel with true colour are).
//
// The picture is the CRTC rectangle of the primary RandR output; without RandR, without a
// primary output, or while that output shows nothing, it is the whole root window. The
// rectangle is asked for again at every Size, so a change of resolution or of primary output is
// seen by the next capture (three round trips, some 30 µs: far below the copy itself).
// Copies go through a MIT-SHM segment of the picture's size, made again when that size changes;
// without MIT-SHM, or with AAllowShm false, each copy is a plain GetImage over the socket. Nothing
// is drawn on top: the mouse pointer is not in the picture.
//
// Size throws std::runtime_error once the connection to the display is lost; the capture thread
// reports that once and goes on trying, so no frame is made until the engine is started again.
std::unique_ptr<TScreenSource> OpenX11ScreenSource(const std::string& ADisplay, std::string& AWhy,
                                                   bool AAllowShm = true);

}  // namespace Pondard::Screen
