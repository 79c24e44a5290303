#include "screen/Protocol.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "net/Protocol.h"

namespace Pondard::Screen {

using Pondar::Net::GetLe16;
using Pondar::Net::GetLe32;
using Pondar::Net::PutLe16;
using Pondar::Net::PutLe32;

namespace {

constexpr size_t MaxTileBytes = size_t{ScreenTileSize} * ScreenTileSize * 3;
constexpr int MaxTiles = 65535;  // the tile count is 16 bits

// Stands in for zlib's Z_DEFAULT_COMPRESSION: on a desktop-like 1920 x 1080 picture libdeflate's
// level 4 takes about a third of zlib's time for frames about 5% larger (its level 6 saves only
// 1% more for a third more time), and any zlib inflater reads its streams.
constexpr int CompressionLevel = 4;
// Below this many changed tiles a second thread costs more to start than it saves.
constexpr size_t MinTilesForSecondThread = 16;

// Where one tile lies in a picture; w and h are cut short at the right and bottom edges.
struct TTileRect {
  size_t X0, Y0, W, H;
};

TTileRect TileRect(size_t AWidth, size_t AHeight, size_t ATileSize, size_t ACol, size_t ARow) {
  const size_t x0 = ACol * ATileSize, y0 = ARow * ATileSize;
  return {x0, y0, std::min(ATileSize, AWidth - x0), std::min(ATileSize, AHeight - y0)};
}

// Byte offset of image row AY (counted from the top) in a bottom-up buffer.
size_t RowOffset(size_t AWidth, size_t AHeight, size_t AY) {
  return (AHeight - 1 - AY) * AWidth * 3;
}

void CopyTileOut(const uint8_t* APixels, size_t AWidth, size_t AHeight, const TTileRect& ATile,
                 uint8_t* AOut) {
  const size_t rowBytes = ATile.W * 3;
  for (size_t k = 0; k < ATile.H; ++k)
    std::memcpy(AOut + k * rowBytes,
                APixels + RowOffset(AWidth, AHeight, ATile.Y0 + k) + ATile.X0 * 3, rowBytes);
}

// Compares the tile's rows where they lie in both buffers: the same answer as extracting both
// tiles and comparing them, without the two copies.
bool SameTile(const uint8_t* ACurrent, const uint8_t* APrevious, size_t AWidth, size_t AHeight,
              const TTileRect& ATile) {
  for (size_t k = 0; k < ATile.H; ++k) {
    const size_t off = RowOffset(AWidth, AHeight, ATile.Y0 + k) + ATile.X0 * 3;
    if (std::memcmp(ACurrent + off, APrevious + off, ATile.W * 3) != 0) return false;
  }
  return true;
}

struct TCompressorFree {
  void operator()(libdeflate_compressor* A) const { libdeflate_free_compressor(A); }
};
struct TDecompressorFree {
  void operator()(libdeflate_decompressor* A) const { libdeflate_free_decompressor(A); }
};
using TCompressor = std::unique_ptr<libdeflate_compressor, TCompressorFree>;
using TDecompressor = std::unique_ptr<libdeflate_decompressor, TDecompressorFree>;

// One compressor and one decompressor per thread, made on first use: each holds tables of
// several hundred KB that are not worth building per tile, and neither may be shared.
libdeflate_compressor* ThreadCompressor() {
  thread_local TCompressor compressor;
  if (!compressor) {
    compressor.reset(libdeflate_alloc_compressor(CompressionLevel));
    if (!compressor) throw std::bad_alloc();
  }
  return compressor.get();
}

libdeflate_decompressor* ThreadDecompressor() {
  thread_local TDecompressor decompressor;
  if (!decompressor) decompressor.reset(libdeflate_alloc_decompressor());
  return decompressor.get();
}

TBytes Compress(libdeflate_compressor* ACompressor, const uint8_t* ATile, size_t ACount) {
  TBytes out(libdeflate_zlib_compress_bound(ACompressor, ACount));
  const size_t written =
      libdeflate_zlib_compress(ACompressor, ATile, ACount, out.data(), out.size());
  // Cannot happen with a buffer of the bound's size; never send a broken stream if it does.
  if (written == 0) throw std::runtime_error("zlib compression of a screen tile failed");
  out.resize(written);
  return out;
}

// Inflates straight into AOut. Exactly AExpected bytes or failure: libdeflate stops with
// "insufficient space" rather than write past AExpected, and "short output" when the stream
// ends early. It reads the stream's end and Adler-32 check, and ignores bytes after them.
bool InflateExact(const uint8_t* AData, size_t ACount, uint8_t* AOut, size_t AExpected) {
  libdeflate_decompressor* d = ThreadDecompressor();
  if (!d || ACount == 0) return false;
  return libdeflate_zlib_decompress(d, AData, ACount, AOut, AExpected, nullptr) ==
         LIBDEFLATE_SUCCESS;
}

// Compresses the changed tiles into ATiles (Col and Row already set), on this thread and, for
// frames with many changes, one more: tiles are handed out one at a time because text and
// photos compress at very different speeds. Each result goes to its own slot, so the order of
// the frame does not depend on which thread took which tile.
void CompressTiles(const uint8_t* ACurrent, size_t AWidth, size_t AHeight,
                   TEncodedTiles& ATiles) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  auto work = [&]() -> std::exception_ptr {
    try {
      libdeflate_compressor* compressor = ThreadCompressor();
      uint8_t scratch[MaxTileBytes];
      for (size_t i = next.fetch_add(1); i < ATiles.size() && !failed; i = next.fetch_add(1)) {
        TEncodedTile& tile = ATiles[i];
        const TTileRect rect = TileRect(AWidth, AHeight, ScreenTileSize, tile.Col, tile.Row);
        CopyTileOut(ACurrent, AWidth, AHeight, rect, scratch);
        tile.Compressed = Compress(compressor, scratch, rect.W * rect.H * 3);
      }
      return nullptr;
    } catch (...) {
      failed = true;
      return std::current_exception();
    }
  };

  std::exception_ptr helperError;
  std::thread helper;
  if (ATiles.size() >= MinTilesForSecondThread && std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::thread([&] { helperError = work(); });
    } catch (const std::system_error&) {
      // No thread to be had: this one takes every tile, as the counter hands them out.
    }
  }
  const std::exception_ptr ownError = work();
  if (helper.joinable()) helper.join();
  if (ownError) std::rethrow_exception(ownError);
  if (helperError) std::rethrow_exception(helperError);
}

}  // namespace

bool FitsScreenFrame(int AWidth, int AHeight) {
  if (AWidth < 1 || AWidth > 65535 || AHeight < 1 || AHeight > 65535) return false;
  const int64_t cols = (AWidth + ScreenTileSize - 1) / ScreenTileSize;
  const int64_t rows = (AHeight + ScreenTileSize - 1) / ScreenTileSize;
  return cols * rows <= MaxTiles;
}

TBytes EncodeScreenFrame(uint16_t AWidth, uint16_t AHeight, const uint8_t* ACurrent,
                         const uint8_t* APrevious, uint8_t AFrameType) {
  if (!FitsScreenFrame(AWidth, AHeight))
    throw std::invalid_argument("screen size does not fit in a screen frame");
  const size_t width = AWidth, height = AHeight;
  const size_t cols = (width + ScreenTileSize - 1) / ScreenTileSize;
  const size_t rows = (height + ScreenTileSize - 1) / ScreenTileSize;
  const bool delta = AFrameType == DeltaFrame && APrevious != nullptr;
  // The same buffer as both: the caller knows nothing changed, so no tile is compared.
  const bool unchanged = delta && APrevious == ACurrent;

  // Row-major, as the records must appear.
  TEncodedTiles tiles;
  tiles.reserve(cols * rows);
  for (size_t row = 0; row < rows; ++row)
    for (size_t col = 0; col < cols; ++col) {
      if (unchanged) continue;
      if (delta && SameTile(ACurrent, APrevious, width, height,
                            TileRect(width, height, ScreenTileSize, col, row)))
        continue;
      tiles.push_back({static_cast<uint16_t>(col), static_cast<uint16_t>(row), {}});
    }
  CompressTiles(ACurrent, width, height, tiles);

  size_t total = ScreenFrameHeaderSize;
  for (const TEncodedTile& t : tiles) total += ScreenTileRecordHeaderSize + t.Compressed.size();
  TBytes out(total);
  uint8_t* p = out.data();
  PutLe16(p, AWidth);
  PutLe16(p + 2, AHeight);
  p[4] = ScreenTileSize;
  p[5] = AFrameType;
  PutLe16(p + 6, static_cast<uint16_t>(tiles.size()));
  p += ScreenFrameHeaderSize;
  for (const TEncodedTile& t : tiles) {
    PutLe16(p, t.Col);
    PutLe16(p + 2, t.Row);
    PutLe32(p + 4, static_cast<uint32_t>(t.Compressed.size()));
    std::memcpy(p + 8, t.Compressed.data(), t.Compressed.size());
    p += ScreenTileRecordHeaderSize + t.Compressed.size();
  }
  return out;
}

bool ParseScreenFrame(std::span<const uint8_t> AData, TScreenFrame& AFrame) {
  AFrame = TScreenFrame{};
  if (AData.size() < ScreenFrameHeaderSize) return false;
  const uint16_t width = GetLe16(AData.data()), height = GetLe16(AData.data() + 2);
  const uint8_t tileSize = AData[4];
  if (width == 0 || height == 0 || tileSize == 0) return false;
  AFrame.Width = width;
  AFrame.Height = height;
  AFrame.TileSize = tileSize;
  AFrame.FrameType = AData[5];
  AFrame.Data.assign(AData.begin() + 6, AData.end());
  return true;
}

namespace {

// One tile record as the decoder walks it; its stream lies inside the frame's Data.
struct TTileRecord {
  size_t Col, Row;
  const uint8_t* Stream;
  size_t Len;
};

// The records up to the tile count, ending early at one whose header or stream runs past the
// end of the frame, or whose length is negative.
std::vector<TTileRecord> TileRecords(const TBytes& AData) {
  std::vector<TTileRecord> records;
  if (AData.size() < 2) return records;
  const unsigned count = GetLe16(AData.data());
  records.reserve(count);
  size_t pos = 2;
  for (unsigned i = 0; i < count; ++i) {
    if (AData.size() - pos < ScreenTileRecordHeaderSize) break;
    const size_t col = GetLe16(&AData[pos]), row = GetLe16(&AData[pos + 2]);
    const int32_t len = static_cast<int32_t>(GetLe32(&AData[pos + 4]));
    pos += ScreenTileRecordHeaderSize;
    if (len < 0 || static_cast<size_t>(len) > AData.size() - pos) break;
    records.push_back({col, row, AData.data() + pos, static_cast<size_t>(len)});
    pos += static_cast<size_t>(len);
  }
  return records;
}

// True when two records name the same tile. Sorting at most 65535 keys costs far less than
// inflating even one repeated tile would.
bool ListsATileTwice(const std::vector<TTileRecord>& ARecords) {
  std::vector<uint32_t> keys;
  keys.reserve(ARecords.size());
  for (const TTileRecord& r : ARecords) keys.push_back(static_cast<uint32_t>(r.Row << 16 | r.Col));
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

}  // namespace

bool DecodeScreenFrame(const TScreenFrame& AFrame, uint8_t* ADest, size_t ADestLen) {
  if (AFrame.Width == 0 || AFrame.Height == 0 || AFrame.TileSize == 0) return true;
  const std::vector<TTileRecord> records = TileRecords(AFrame.Data);
  if (ListsATileTwice(records)) return false;
  const size_t width = AFrame.Width, height = AFrame.Height, tileSize = AFrame.TileSize;
  TBytes tile;
  for (const TTileRecord& record : records) {
    // A peer may name a tile beyond the picture: it describes no pixels, so skip it.
    if (record.Col * tileSize >= width || record.Row * tileSize >= height) continue;
    const TTileRect rect = TileRect(width, height, tileSize, record.Col, record.Row);
    const size_t rowBytes = rect.W * 3;
    const size_t expected = rowBytes * rect.H;
    // Sized on the first tile that needs it: an unchanged delta allocates nothing.
    if (tile.empty()) tile.resize(tileSize * tileSize * 3);
    if (!InflateExact(record.Stream, record.Len, tile.data(), expected)) continue;
    for (size_t k = 0; k < rect.H; ++k) {
      const size_t off = RowOffset(width, height, rect.Y0 + k) + rect.X0 * 3;
      // The buffer may be shorter than the frame says; a row that does not fit is left out.
      if (off > ADestLen || rowBytes > ADestLen - off) continue;
      std::memcpy(ADest + off, tile.data() + k * rowBytes, rowBytes);
    }
  }
  return true;
}

size_t ExtractTile(const uint8_t* APixels, int AWidth, int AHeight, int ACol, int ARow,
                   uint8_t* ATile) {
  const TTileRect rect = TileRect(static_cast<size_t>(AWidth), static_cast<size_t>(AHeight),
                                  ScreenTileSize, static_cast<size_t>(ACol),
                                  static_cast<size_t>(ARow));
  CopyTileOut(APixels, static_cast<size_t>(AWidth), static_cast<size_t>(AHeight), rect, ATile);
  return rect.W * rect.H * 3;
}

TBytes CompressTile(const uint8_t* ATile, size_t ACount) {
  return Compress(ThreadCompressor(), ATile, ACount);
}

bool DecompressTile(const uint8_t* AData, size_t ACount, uint8_t* ATile, size_t AExpected) {
  try {
    // Into a buffer of our own first, so that a failed stream leaves ATile untouched.
    TBytes out(AExpected);
    if (!InflateExact(AData, ACount, out.data(), AExpected)) return false;
    std::copy(out.begin(), out.end(), ATile);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace Pondard::Screen
