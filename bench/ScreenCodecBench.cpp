// The screen frame codec on a 1920 x 1080 desktop-like picture: key frame encode, unchanged
// delta, key frame decode. The yardstick, timed in the same iterations, is the plain way: one
// thread, zlib's compress2 at its default level per tile, zlib's uncompress per tile.
// "ratio" counters are our time over the yardstick's (below 1: we are faster); "bytes" is the
// frame size, so that a faster compressor cannot hide a worse ratio.
//
// Aims on a 2-core machine: key encode < 30 ms, unchanged delta < 3 ms, key decode < 15 ms.
// Build with -DPONDAR_BENCH=ON in a Release build directory.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "net/Protocol.h"
#include "screen/Protocol.h"

namespace {

using namespace Pondard::Screen;
using Pondar::Net::GetLe16;
using Pondar::Net::GetLe32;
using Pondar::Net::PutLe16;
using Pondar::Net::PutLe32;

constexpr int W = 1920, H = 1080;

// A deterministic desktop: a flat wallpaper with a soft vertical gradient, a task bar, two
// windows with title bars and lines of text-like glyphs on white, and a photo-like region
// (smooth colour fields with fine noise). Built top-down, stored bottom-up as frames want.
TBytes DesktopPicture() {
  TBytes px(size_t{W} * H * 3);
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  auto put = [&](int x, int y, uint8_t b, uint8_t g, uint8_t r) {
    uint8_t* p = &px[(size_t(H - 1 - y) * W + x) * 3];
    p[0] = b, p[1] = g, p[2] = r;
  };
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) put(x, y, uint8_t(120 + y / 16), uint8_t(70 + y / 24), 40);
  for (int y = H - 40; y < H; ++y)
    for (int x = 0; x < W; ++x) put(x, y, 48, 48, 48);
  // Windows: title bar, white client area, text lines of 7 x 12 glyph cells.
  struct { int X, Y, Wd, Ht; } windows[] = {{80, 60, 1000, 700}, {700, 300, 900, 600}};
  for (const auto& w : windows) {
    for (int y = w.Y; y < w.Y + w.Ht; ++y)
      for (int x = w.X; x < w.X + w.Wd; ++x)
        if (y < w.Y + 30) put(x, y, 160, 110, 60);
        else put(x, y, 255, 255, 255);
    for (int line = 0; line * 16 + 50 < w.Ht - 16; ++line) {
      const int len = 40 + static_cast<int>(next() % 90);
      for (int c = 0; c < len && c * 7 + 20 < w.Wd - 10; ++c) {
        const uint32_t glyph = next();
        if ((glyph & 15) == 0) continue;  // a space
        for (int gy = 0; gy < 12; ++gy)
          for (int gx = 0; gx < 6; ++gx)
            if ((glyph >> ((gy * 6 + gx) % 31)) & 1 && gy > 1 && gy < 11)
              put(w.X + 20 + c * 7 + gx, w.Y + 50 + line * 16 + gy, 30, 30, 30);
      }
    }
  }
  // The photo inside the second window.
  for (int y = 420; y < 860; ++y)
    for (int x = 760; x < 1540; ++x) {
      const int n = static_cast<int>(next() >> 28) - 8;
      put(x, y, uint8_t(std::clamp(x / 4 - 190 + n, 0, 255)), uint8_t(std::clamp(y / 3 + n, 0, 255)),
          uint8_t(std::clamp((x + y) / 6 + n, 0, 255)));
    }
  return px;
}

const TBytes& Picture() {
  static const TBytes picture = DesktopPicture();
  return picture;
}

double Seconds(std::chrono::steady_clock::duration ADuration) {
  return std::chrono::duration<double>(ADuration).count();
}

// The frame the plain way: every tile extracted and compressed with zlib's compress2 at
// Z_DEFAULT_COMPRESSION on this thread.
TBytes ZlibKeyFrame(const TBytes& APixels) {
  const int cols = (W + 63) / 64, rows = (H + 63) / 64;
  TBytes out(8);
  PutLe16(&out[0], W);
  PutLe16(&out[2], H);
  out[4] = 64;
  out[5] = KeyFrame;
  PutLe16(&out[6], static_cast<uint16_t>(cols * rows));
  uint8_t tile[64 * 64 * 3];
  TBytes packed(compressBound(sizeof tile));
  for (int row = 0; row < rows; ++row)
    for (int col = 0; col < cols; ++col) {
      const size_t n = ExtractTile(APixels.data(), W, H, col, row, tile);
      uLongf len = packed.size();
      if (compress2(packed.data(), &len, tile, n, Z_DEFAULT_COMPRESSION) != Z_OK)
        throw std::runtime_error("compress2");
      const size_t at = out.size();
      out.resize(at + 8 + len);
      PutLe16(&out[at], static_cast<uint16_t>(col));
      PutLe16(&out[at + 2], static_cast<uint16_t>(row));
      PutLe32(&out[at + 4], static_cast<uint32_t>(len));
      std::memcpy(&out[at + 8], packed.data(), len);
    }
  return out;
}

// Decoding the plain way: zlib's uncompress per tile, then the rows copied.
void ZlibDecode(const TBytes& AFrame, uint8_t* ADest) {
  size_t pos = 8;
  uint8_t tile[64 * 64 * 3];
  for (unsigned i = 0, n = GetLe16(&AFrame[6]); i < n; ++i) {
    const size_t col = GetLe16(&AFrame[pos]), row = GetLe16(&AFrame[pos + 2]);
    const size_t len = GetLe32(&AFrame[pos + 4]);
    const size_t x0 = col * 64, y0 = row * 64, w = std::min<size_t>(64, W - x0),
                 h = std::min<size_t>(64, H - y0);
    uLongf out = w * h * 3;
    if (uncompress(tile, &out, &AFrame[pos + 8], len) != Z_OK) throw std::runtime_error("inflate");
    for (size_t k = 0; k < h; ++k)
      std::memcpy(ADest + (H - 1 - y0 - k) * size_t{W} * 3 + x0 * 3, tile + k * w * 3, w * 3);
    pos += 8 + len;
  }
}

void BM_KeyEncodeVsZlib(benchmark::State& AState) {
  const TBytes& px = Picture();
  double ours = 0, plain = 0;
  size_t oursBytes = 0, plainBytes = 0;
  for (auto _ : AState) {
    const auto t0 = std::chrono::steady_clock::now();
    const TBytes a = EncodeScreenFrame(W, H, px.data(), nullptr, KeyFrame);
    const auto t1 = std::chrono::steady_clock::now();
    const TBytes b = ZlibKeyFrame(px);
    const auto t2 = std::chrono::steady_clock::now();
    ours += Seconds(t1 - t0);
    plain += Seconds(t2 - t1);
    oursBytes = a.size();
    plainBytes = b.size();
  }
  const double n = static_cast<double>(AState.iterations());
  AState.counters["ms"] = ours / n * 1000;
  AState.counters["zlib_ms"] = plain / n * 1000;
  AState.counters["ratio"] = ours / plain;
  AState.counters["bytes"] = static_cast<double>(oursBytes);
  AState.counters["zlib_bytes"] = static_cast<double>(plainBytes);
}
BENCHMARK(BM_KeyEncodeVsZlib)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// Change detection alone: nothing is compressed. The yardstick extracts both tiles and
// compares them, as the plain way would.
void BM_UnchangedDeltaVsExtract(benchmark::State& AState) {
  const TBytes& px = Picture();
  const TBytes previous = px;
  double ours = 0, plain = 0;
  for (auto _ : AState) {
    const auto t0 = std::chrono::steady_clock::now();
    const TBytes a = EncodeScreenFrame(W, H, px.data(), previous.data(), DeltaFrame);
    const auto t1 = std::chrono::steady_clock::now();
    uint8_t cur[64 * 64 * 3], old[64 * 64 * 3];
    int changed = 0;
    for (int row = 0; row < (H + 63) / 64; ++row)
      for (int col = 0; col < (W + 63) / 64; ++col) {
        const size_t n = ExtractTile(px.data(), W, H, col, row, cur);
        ExtractTile(previous.data(), W, H, col, row, old);
        changed += std::memcmp(cur, old, n) != 0;
      }
    const auto t2 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(changed);
    if (a.size() != 8) AState.SkipWithError("an unchanged delta is 8 bytes");
    ours += Seconds(t1 - t0);
    plain += Seconds(t2 - t1);
  }
  const double n = static_cast<double>(AState.iterations());
  AState.counters["ms"] = ours / n * 1000;
  AState.counters["extract_ms"] = plain / n * 1000;
  AState.counters["ratio"] = ours / plain;
}
BENCHMARK(BM_UnchangedDeltaVsExtract)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(200);

void BM_KeyDecodeVsZlib(benchmark::State& AState) {
  const TBytes frame = EncodeScreenFrame(W, H, Picture().data(), nullptr, KeyFrame);
  TBytes dest(Picture().size()), plainDest(Picture().size());
  double ours = 0, plain = 0;
  for (auto _ : AState) {
    const auto t0 = std::chrono::steady_clock::now();
    TScreenFrame parsed;
    ParseScreenFrame(frame, parsed);
    DecodeScreenFrame(parsed, dest.data(), dest.size());
    const auto t1 = std::chrono::steady_clock::now();
    ZlibDecode(frame, plainDest.data());
    const auto t2 = std::chrono::steady_clock::now();
    ours += Seconds(t1 - t0);
    plain += Seconds(t2 - t1);
  }
  if (dest != Picture() || plainDest != Picture()) AState.SkipWithError("decoded picture differs");
  const double n = static_cast<double>(AState.iterations());
  AState.counters["ms"] = ours / n * 1000;
  AState.counters["zlib_ms"] = plain / n * 1000;
  AState.counters["ratio"] = ours / plain;
}
BENCHMARK(BM_KeyDecodeVsZlib)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(40);

// The choice of compressor: every tile on one thread with zlib at levels 1 and 6 (the default)
// and libdeflate at levels 1, 2, 4, 6 and 9. Time and size of the whole frame's tiles.
void BM_CompressorChoice(benchmark::State& AState) {
  const bool useLibdeflate = AState.range(0) == 1;
  const int level = static_cast<int>(AState.range(1));
  const TBytes& px = Picture();
  std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
      libdeflate_alloc_compressor(level), libdeflate_free_compressor);
  uint8_t tile[64 * 64 * 3];
  TBytes packed(compressBound(sizeof tile) + 64);
  size_t total = 0;
  for (auto _ : AState) {
    total = 8;
    for (int row = 0; row < (H + 63) / 64; ++row)
      for (int col = 0; col < (W + 63) / 64; ++col) {
        const size_t n = ExtractTile(px.data(), W, H, col, row, tile);
        size_t len = 0;
        if (useLibdeflate) {
          len = libdeflate_zlib_compress(compressor.get(), tile, n, packed.data(), packed.size());
        } else {
          uLongf z = packed.size();
          compress2(packed.data(), &z, tile, n, level);
          len = z;
        }
        total += 8 + len;
      }
  }
  AState.SetLabel(useLibdeflate ? "libdeflate" : "zlib");
  AState.counters["bytes"] = static_cast<double>(total);
}
BENCHMARK(BM_CompressorChoice)
    ->Args({0, 1})->Args({0, 6})->Args({1, 1})->Args({1, 2})->Args({1, 4})->Args({1, 6})->Args({1, 9})
    ->Unit(benchmark::kMillisecond)->UseRealTime();

// Decoding on one thread: zlib's inflate against libdeflate's, tile bytes only.
void BM_DecompressorChoice(benchmark::State& AState) {
  const bool useLibdeflate = AState.range(0) == 1;
  const TBytes frame = EncodeScreenFrame(W, H, Picture().data(), nullptr, KeyFrame);
  std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  uint8_t tile[64 * 64 * 3];
  for (auto _ : AState) {
    size_t pos = 8;
    for (unsigned i = 0, n = GetLe16(&frame[6]); i < n; ++i) {
      const size_t len = GetLe32(&frame[pos + 4]);
      size_t out = 0;
      if (useLibdeflate) {
        libdeflate_zlib_decompress(d.get(), &frame[pos + 8], len, tile, sizeof tile, &out);
      } else {
        uLongf z = sizeof tile;
        uncompress(tile, &z, &frame[pos + 8], len);
        out = z;
      }
      benchmark::DoNotOptimize(out);
      pos += 8 + len;
    }
  }
  AState.SetLabel(useLibdeflate ? "libdeflate" : "zlib");
}
BENCHMARK(BM_DecompressorChoice)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
