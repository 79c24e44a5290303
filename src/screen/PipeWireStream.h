// A PipeWire video stream of a screen, read in shared memory: what the desktop portal hands over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "screen/Capture.h"
#include "screen/Pixels.h"

namespace Pondard::Screen {

// Where the colours lie in a pixel of the PipeWire video format AFormat (an spa_video_format);
// nullopt for a format that is not 8-bit colour in four bytes a pixel.
std::optional<TChannelOffsets> ChannelOffsetsOf(uint32_t AFormat);

// One picture as PipeWire hands it over: AHeight rows from Offset on, Stride bytes apart
// (0: rows of Width x 4 bytes), inside Size bytes of readable memory at Data.
struct TVideoFrame {
  const uint8_t* Data = nullptr;
  size_t Size = 0;
  size_t Offset = 0;
  int32_t Stride = 0;
  int Width = 0, Height = 0;
  TChannelOffsets Channels;
};

// Turns AFrame into the frame's pixel buffer at APixels (Width x Height x 3 bytes). False,
// writing nothing, when the rows would reach outside the memory, overlap, or run bottom-up:
// buffers come from another process, which may get them wrong.
bool ConvertVideoFrame(const TVideoFrame& AFrame, uint8_t* APixels);

// Connects to PipeWire through AFd (taken over in every case) and streams node ANodeId into a
// screen source. The stream runs on a PipeWire thread of its own; the source's calls come from
// the capture thread and keep the newest complete picture only: Grab turns it into the pixel
// buffer and gives the buffer back at once, and SameAsLastGrab holds until the compositor sends
// another. Size throws TScreenUnavailable once the stream failed or ended, when it stopped
// sending for more than two seconds (a pause shorter than that is a renegotiation, say, and
// only skips captures), and when no picture format was agreed within ten seconds. Destroying it stops its thread and closes the connection.
// Throws TScreenUnavailable when PipeWire cannot be set up.
std::unique_ptr<TScreenSource> ConnectPipeWireStream(int AFd, uint32_t ANodeId);

}  // namespace Pondard::Screen
