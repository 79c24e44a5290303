// One copy of a 1920 x 1080 screen from the X server into the frame's pixel buffer (the
// geometry query, the server's copy into shared memory, the turn into bottom-up 24-bit rows),
// through MIT-SHM and through plain GetImage. The yardstick, timed in the same run, is a plain
// memcpy of the same 32-bit picture in memory: what no capture can beat.
//
// Aim: under 2 ms a capture through MIT-SHM on a 2-core machine.
// Needs an X display of 1920 x 1080 on $DISPLAY, for example
//   xvfb-run -s "-screen 0 1920x1080x24 -nolisten tcp" build/<dir>/bench/CaptureBench
// Build with -DPONDAR_BENCH=ON in a Release build directory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "screen/X11ScreenSource.h"

namespace {

using Pondard::Screen::OpenX11ScreenSource;
using Pondard::Screen::TScreenSource;

std::unique_ptr<TScreenSource> Open(benchmark::State& AState, bool AShm) {
  std::string why;
  auto source = OpenX11ScreenSource("", why, AShm);
  if (!source) AState.SkipWithError(why.c_str());
  return source;
}

void Capture(benchmark::State& AState, bool AShm) {
  auto source = Open(AState, AShm);
  if (!source) return;
  int width = 0, height = 0;
  source->Size(width, height);
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3);
  for (auto _ : AState) {
    if (!source->Size(width, height) || !source->Grab(pixels.data(), width, height)) {
      AState.SkipWithError("capture failed");
      return;
    }
    benchmark::DoNotOptimize(pixels.data());
    benchmark::ClobberMemory();
  }
  AState.counters["pixels"] = width * height;
}

void BM_CaptureShm(benchmark::State& AState) { Capture(AState, true); }
void BM_CaptureGetImage(benchmark::State& AState) { Capture(AState, false); }

// The geometry query alone: the three RandR round trips each capture makes.
void BM_SizeQuery(benchmark::State& AState) {
  auto source = Open(AState, true);
  if (!source) return;
  int width = 0, height = 0;
  for (auto _ : AState) benchmark::DoNotOptimize(source->Size(width, height));
}

void BM_MemcpyBaseline(benchmark::State& AState) {
  const size_t bytes = size_t{1920} * 1080 * 4;
  std::vector<uint8_t> from(bytes, 0x5a), to(bytes);
  for (auto _ : AState) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureShm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureGetImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SizeQuery)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
