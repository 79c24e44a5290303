// A peer that only watches: it announces itself, takes the screen frames other peers send into
// one viewer per sender, and after every frame that changes the picture writes that sender's
// picture to a file.
//
//   screen_viewer_peer NAME UDP_PORT TCP_PORT OUT_PREFIX
//
// After each key frame from peer P it writes OUT_PREFIX-P.ppm (binary PPM, top-down RGB, made
// whole under another name and renamed) and prints "key P WIDTH HEIGHT" to stdout, flushed;
// after a delta frame of N > 0 tiles it does the same and prints "delta P N". Clipboard text
// from a peer is printed as "clip TEXT".
// SIGTERM or SIGINT: goodbye, then exit 0. Like every peer it refuses to start outside a
// namespace of its own (status 3).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/Types.h"
#include "net/Discovery.h"
#include "net/TcpServer.h"
#include "screen/Protocol.h"
#include "screen/Viewer.h"
#include "support/Isolation.h"

namespace {

void WritePicture(const QImage& APicture, const std::string& APath) {
  const std::string part = APath + ".part";
  FILE* out = std::fopen(part.c_str(), "wb");
  if (!out) return;
  std::fprintf(out, "P6\n%d %d\n255\n", APicture.width(), APicture.height());
  // By hand: Qt's own conversion may hand the rows to its thread pool.
  std::vector<uint8_t> row(static_cast<size_t>(APicture.width()) * 3);
  for (int y = 0; y < APicture.height(); ++y) {
    const auto* pixels = reinterpret_cast<const QRgb*>(APicture.constScanLine(y));
    for (int x = 0; x < APicture.width(); ++x) {
      row[size_t(x) * 3] = static_cast<uint8_t>(qRed(pixels[x]));
      row[size_t(x) * 3 + 1] = static_cast<uint8_t>(qGreen(pixels[x]));
      row[size_t(x) * 3 + 2] = static_cast<uint8_t>(qBlue(pixels[x]));
    }
    std::fwrite(row.data(), 1, row.size(), out);
  }
  std::fclose(out);
  std::rename(part.c_str(), APath.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: screen_viewer_peer NAME UDP_PORT TCP_PORT OUT_PREFIX\n");
    return 2;
  }
  if (PondarTest::RefuseOutsideLab("screen_viewer_peer")) return 3;
  const sigset_t stopSignals = PondarTest::BlockStopSignals();

  const auto udpPort = static_cast<uint16_t>(std::atoi(argv[2]));
  const auto tcpPort = static_cast<uint16_t>(std::atoi(argv[3]));
  const std::string outPrefix = argv[4];

  // Frames arrive on several receiving threads at once; the viewers are one thread's objects.
  std::mutex viewersLock;
  std::map<std::string, Pondard::Screen::TScreenViewer> viewers;
  Pondar::Net::TTcpServerThread server(tcpPort, "/nonexistent", nullptr);
  server.OnScreenFrame = [&](const Pondar::Core::RawUtf8&, const Pondar::Core::RawUtf8& APeer,
                             const Pondar::Core::TBytes& AData) {
    std::lock_guard lock(viewersLock);
    auto& viewer = viewers[APeer];
    const int tiles = AData.size() >= 8 ? AData[6] | AData[7] << 8 : 0;
    const bool key = AData.size() >= 8 && AData[5] == Pondard::Screen::KeyFrame;
    if (!viewer.ApplyFrame(AData) || (!key && tiles == 0)) return;
    WritePicture(viewer.Picture().Image(), outPrefix + "-" + APeer + ".ppm");
    if (key) {
      std::printf("key %s %d %d\n", APeer.c_str(), viewer.Width(), viewer.Height());
    } else {
      std::printf("delta %s %d\n", APeer.c_str(), tiles);
    }
    std::fflush(stdout);
  };
  server.OnClipboardNotify = [&](const Pondar::Core::RawUtf8& AText) {
    std::lock_guard lock(viewersLock);
    std::printf("clip %s\n", AText.c_str());
    std::fflush(stdout);
  };
  server.Start();
  Pondar::Net::TDiscoveryThread discovery(argv[1], udpPort, tcpPort);
  discovery.Start();

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  discovery.SendGoodbye();
  discovery.Terminate();
  discovery.WaitFor();
  server.Terminate();
  server.WaitFor();
  return 0;
}
