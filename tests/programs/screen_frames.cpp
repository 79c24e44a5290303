// Encodes and decodes screen frames between files, so that a script with its own zlib can check
// that our frames are standard and that we read frames it made.
//
//   screen_frames encode WIDTH HEIGHT TYPE OUT CURRENT [PREVIOUS]
//       CURRENT and PREVIOUS are pixel buffers (WIDTH x HEIGHT x 3 bytes); OUT gets the frame.
//   screen_frames decode FRAME START OUT
//       START is the buffer the frame is decoded onto; OUT gets the result.
// Status 0 on success, 1 when the frame is refused, 2 for wrong use or unreadable files.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "screen/Protocol.h"

namespace {

using namespace Pondard::Screen;

bool ReadFile(const char* APath, TBytes& AOut) {
  std::ifstream in(APath, std::ios::binary);
  AOut.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return static_cast<bool>(in) || in.eof();
}

bool WriteFile(const char* APath, const TBytes& AData) {
  std::ofstream out(APath, std::ios::binary);
  out.write(reinterpret_cast<const char*>(AData.data()),
            static_cast<std::streamsize>(AData.size()));
  return static_cast<bool>(out);
}

int Usage() {
  std::fprintf(stderr,
               "usage: screen_frames encode W H TYPE OUT CURRENT [PREVIOUS]\n"
               "       screen_frames decode FRAME START OUT\n");
  return 2;
}

}  // namespace

int main(int AArgc, char** AArgv) {
  const std::string verb = AArgc > 1 ? AArgv[1] : "";
  if (verb == "encode" && (AArgc == 7 || AArgc == 8)) {
    const int w = std::atoi(AArgv[2]), h = std::atoi(AArgv[3]);
    TBytes current, previous;
    if (!FitsScreenFrame(w, h) || !ReadFile(AArgv[6], current) ||
        current.size() != size_t(w) * h * 3)
      return Usage();
    if (AArgc == 8 && (!ReadFile(AArgv[7], previous) || previous.size() != current.size()))
      return Usage();
    const TBytes frame = EncodeScreenFrame(uint16_t(w), uint16_t(h), current.data(),
                                           previous.empty() ? nullptr : previous.data(),
                                           uint8_t(std::atoi(AArgv[4])));
    return WriteFile(AArgv[5], frame) ? 0 : 2;
  }
  if (verb == "decode" && AArgc == 5) {
    TBytes bytes, pixels;
    if (!ReadFile(AArgv[2], bytes) || !ReadFile(AArgv[3], pixels)) return Usage();
    TScreenFrame frame;
    if (!ParseScreenFrame(bytes, frame)) return 1;
    DecodeScreenFrame(frame, pixels.data(), pixels.size());
    return WriteFile(AArgv[4], pixels) ? 0 : 2;
  }
  return Usage();
}
