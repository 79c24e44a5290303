// The body of one screen picture as it travels between peers, and the operations on it.
//
// The pixel buffer both ends share: Width x Height x 3 bytes, blue-green-red, rows tight (no
// padding to four bytes), bottom row first. The screen is cut into square tiles (64 pixels when
// we encode); every tile that is sent is one complete zlib stream (RFC 1950 wrapper) of its raw
// bytes, top row first, so any standard inflater decodes it.
//
// Frame, integers little-endian:
//   u16 Width, u16 Height, u8 TileSize, u8 FrameType, u16 TileCount,
//   then TileCount records: u16 Col, u16 Row, i32 Len, Len bytes of zlib stream.
// Records are in row-major order (Row ascending, then Col). A key frame carries every tile; a
// delta frame only the tiles that differ from the previous capture, so an unchanged screen is
// the 8 header bytes alone.
//
// Everything here is a free function without shared state: callable on any thread. The capture
// thread encodes; the engine's screen receiver parses and decodes, never the window's thread.
// Frames come from peers, so parsing and decoding take any bytes at all, never write outside
// the buffer they are given, and keep within a budget per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/Types.h"

namespace Pondard::Screen {

using Pondar::Core::TBytes;

constexpr uint8_t ScreenTileSize = 64;
constexpr uint8_t KeyFrame = 0, DeltaFrame = 1;
constexpr size_t ScreenFrameHeaderSize = 8;  // up to and including TileCount
constexpr size_t ScreenTileRecordHeaderSize = 8;

// A parsed frame. Data is the frame from offset 6 on: the tile count, then the records.
struct TScreenFrame {
  uint16_t Width = 0;
  uint16_t Height = 0;
  uint8_t TileSize = 0;
  uint8_t FrameType = 0;
  TBytes Data;
};

// One changed tile as the encoder collects it.
struct TEncodedTile {
  uint16_t Col = 0;
  uint16_t Row = 0;
  TBytes Compressed;
};
using TEncodedTiles = std::vector<TEncodedTile>;

// True when a screen of this size can travel in one frame: 1..65535 both ways and at most
// 65535 tiles of 64 pixels (the tile count is 16 bits).
bool FitsScreenFrame(int AWidth, int AHeight);

// Encodes ACurrent (AWidth x AHeight pixel buffer). With ADeltaFrame and APrevious (same size),
// only tiles that differ from APrevious are carried (none, without comparing, when APrevious is
// ACurrent itself); with KeyFrame or a null APrevious every tile is. Throws
// std::invalid_argument when !FitsScreenFrame; a failing compressor or allocation throws too.
// May compress on a second thread; the bytes are the same either way.
TBytes EncodeScreenFrame(uint16_t AWidth, uint16_t AHeight, const uint8_t* ACurrent,
                         const uint8_t* APrevious, uint8_t AFrameType);

// False (AFrame cleared) for fewer than 8 bytes or a zero Width, Height or TileSize. Tiles are
// not looked at here.
bool ParseScreenFrame(std::span<const uint8_t> AData, TScreenFrame& AFrame);

// Writes the frame's tiles into ADest, laid out for the frame's own Width and Height. Never
// writes outside ADest[0, ADestLen): rows that would fall outside are skipped, and so are
// records whose tile lies outside the picture. Stops at a record that runs past the end; skips
// (and goes on after) a tile that does not inflate to exactly its w x h x 3 bytes.
//
// The frame's budget: false, with nothing written, when the records it would walk name one
// tile (column and row) twice. A frame within it inflates no more than Width x Height x 3
// bytes, since its tiles do not overlap, and a frame that repeats one tile 65535 times is
// refused after one look at its records, before anything is inflated.
bool DecodeScreenFrame(const TScreenFrame& AFrame, uint8_t* ADest, size_t ADestLen);

// Copies tile (ACol, ARow) of a 64-pixel grid out of APixels, top row first, into ATile (room
// for 64 x 64 x 3 bytes). Returns its byte count w x h x 3.
size_t ExtractTile(const uint8_t* APixels, int AWidth, int AHeight, int ACol, int ARow,
                   uint8_t* ATile);

// One complete zlib stream of ACount bytes, within a few percent of zlib's default level in size.
TBytes CompressTile(const uint8_t* ATile, size_t ACount);

// Inflates one zlib stream into ATile. True only when the stream is whole and gives exactly
// AExpected bytes; bytes after the end of the stream are ignored. Never writes more than
// AExpected bytes to ATile, whatever the stream claims (a zlib bomb stops there), and leaves
// ATile as it was on failure. Never throws.
bool DecompressTile(const uint8_t* AData, size_t ACount, uint8_t* ATile, size_t AExpected);

}  // namespace Pondard::Screen
