// Turning a screen's 32-bit pixels, as X servers and compositors hand them out, into the frame's
// pixel buffer (see Protocol.h: blue-green-red, rows tight, bottom row first).
#pragma once

#include <cstddef>
#include <cstdint>

namespace Pondard::Screen {

// Where blue, green and red sit among the four bytes of one pixel, in memory order; the fourth
// byte (padding or alpha) is never read. {0, 1, 2} is the usual layout, bytes B, G, R, x.
struct TChannelOffsets {
  uint8_t Blue = 0, Green = 1, Red = 2;
};

// Writes AWidth x AHeight pixels from ASrc (AHeight rows, top row first, each AStride bytes from
// the start of the one before, AWidth x 4 bytes of pixels) into ADst as a pixel buffer of
// exactly AWidth x AHeight x 3 bytes. Offsets must each be below 4. Callable on any thread.
// Uses SSSE3 where the processor has it (chosen at run time): 1920 x 1080 takes about as long
// as a plain copy of the same bytes.
void ConvertTopDown32(const uint8_t* ASrc, size_t AStride, int AWidth, int AHeight,
                      TChannelOffsets AOffsets, uint8_t* ADst);

}  // namespace Pondard::Screen
