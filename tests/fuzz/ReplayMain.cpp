// Replays a fuzz target's corpus without libFuzzer, so that the ordinary test build (g++, any
// sanitizer) runs every saved input once as a test.
//
// Usage: <program> <file or folder>...  Folders are read one level deep, files in name order,
// so a run is the same every time. Fails when there is nothing to replay, so that a mistyped
// folder cannot pass as an empty corpus. A failing property traps inside the target; the name
// of the input being replayed is printed first.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzCheck.h"

namespace {

namespace fs = std::filesystem;

// The input being replayed, for the signal handler; written before each input runs.
char GCurrent[4096];

void SayWhichInput(int ASignal) {
  const char head[] = "\nwhile replaying ";
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, head, sizeof head - 1);
  size_t len = 0;
  while (len < sizeof GCurrent && GCurrent[len] != '\0') ++len;
  n = ::write(STDERR_FILENO, GCurrent, len);
  n = ::write(STDERR_FILENO, "\n", 1);
  std::signal(ASignal, SIG_DFL);
  std::raise(ASignal);
}

std::vector<uint8_t> ReadAll(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int AArgc, char** AArgv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < AArgc; ++i) {
    const fs::path arg = AArgv[i];
    if (fs::is_directory(arg)) {
      for (const auto& item : fs::directory_iterator(arg))
        if (item.is_regular_file()) inputs.push_back(item.path());
    } else if (fs::is_regular_file(arg)) {
      inputs.push_back(arg);
    } else {
      std::fprintf(stderr, "no such file or folder: %s\n", AArgv[i]);
      return 2;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s <corpus file or folder>...; nothing to replay\n", AArgv[0]);
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());

  // A trap (property violated) or an abort (sanitizer, assert) names the input first.
  std::signal(SIGILL, SayWhichInput);
  std::signal(SIGTRAP, SayWhichInput);
  std::signal(SIGABRT, SayWhichInput);

  const auto start = std::chrono::steady_clock::now();
  for (const fs::path& input : inputs) {
    const std::string name = input.string();
    const size_t len = std::min(name.size(), sizeof GCurrent - 1);
    std::copy_n(name.data(), len, GCurrent);
    GCurrent[len] = '\0';
    const std::vector<uint8_t> bytes = ReadAll(input);
    // Never a null pointer, not even for an empty input, as libFuzzer does.
    static const uint8_t none = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  std::printf("replayed %zu inputs in %lld ms\n", inputs.size(), static_cast<long long>(ms));
  return 0;
}
