// From a PipeWire buffer of a 1920 x 1080 screen to the encoder's input (the frame's bottom-up
// 24-bit rows), in the byte orders compositors send, against the yardstick timed in the same
// run: a plain memcpy of the same 32-bit picture, what no conversion can beat.
//
// Aim: at most 2 ms a picture. No PipeWire needed; build with -DPONDAR_BENCH=ON in a Release
// build directory and run build/<dir>/bench/PortalBench.
#include <benchmark/benchmark.h>
#include <spa/param/video/raw.h>

#include <cstring>
#include <vector>

#include "screen/PipeWireStream.h"
#include "tools/RatioReporter.h"

namespace {

constexpr int Width = 1920, Height = 1080;
constexpr size_t Bytes = size_t{Width} * Height * 4;

void BM_MemcpyBaseline(benchmark::State& AState) {
  std::vector<uint8_t> from(Bytes, 0x5a), to(Bytes);
  for (auto _ : AState) {
    std::memcpy(to.data(), from.data(), Bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
}

void Convert(benchmark::State& AState, uint32_t AFormat) {
  std::vector<uint8_t> buffer(Bytes);
  for (size_t i = 0; i < Bytes; ++i) buffer[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> pixels(size_t{Width} * Height * 3);
  const Pondard::Screen::TVideoFrame frame{buffer.data(),
                                           Bytes,
                                           0,
                                           Width * 4,
                                           Width,
                                           Height,
                                           *Pondard::Screen::ChannelOffsetsOf(AFormat)};
  for (auto _ : AState) {
    if (!Pondard::Screen::ConvertVideoFrame(frame, pixels.data())) {
      AState.SkipWithError("refused");
      return;
    }
    benchmark::DoNotOptimize(pixels.data());
    benchmark::ClobberMemory();
  }
}

void BM_PipeWireToPixels_BGRx(benchmark::State& AState) {
  Convert(AState, SPA_VIDEO_FORMAT_BGRx);
}
void BM_PipeWireToPixels_RGBx(benchmark::State& AState) {
  Convert(AState, SPA_VIDEO_FORMAT_RGBx);
}

BENCHMARK(BM_MemcpyBaseline)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_PipeWireToPixels_BGRx)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_PipeWireToPixels_RGBx)->Unit(benchmark::kMillisecond)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  TRatioReporter reporter("median");
  return RunWithRatios(argc, argv, reporter, [&] {
    reporter.PrintRatio("BGRx conversion / memcpy", "BM_PipeWireToPixels_BGRx",
                        "BM_MemcpyBaseline");
    reporter.PrintRatio("RGBx conversion / memcpy", "BM_PipeWireToPixels_RGBx",
                        "BM_MemcpyBaseline");
  });
}
