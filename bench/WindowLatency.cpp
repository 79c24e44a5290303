// How long the window's event loop goes without turning while a large file arrives and full-HD
// screen frames stream in. A real TMainForm with its engine, showing the Screen Sharing page,
// and a peer made in this process on loopback: a TCP server offering two files of --file-mib
// MiB, announced to the engine, and a thread sending frames of --width x --height that change
// all over, --fps a second. A 1 ms precise timer on the UI thread measures the loop: each tick's
// lateness is the time since the previous tick less the interval, so the worst lateness is the
// longest stretch in which the UI thread did not come back to its loop.
//
// Phases, each reported with the median, 99th percentile and worst lateness:
//   quiet        nothing arrives
//   file         the first file arrives, no frames
//   frames       frames alone, --frames-seconds long
//   file+frames  the second file arrives while the frames go on
// and then what one frame costs, taken apart: the viewer's decoding (on the engine's screen
// receiver thread) and drawing the picture (on the UI thread).
//
// The engine broadcasts discovery datagrams: the program refuses to run outside a network
// namespace of its own (bench/window_latency.sh runs it under "unshare --net").
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QPainter>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Types.h"
#include "fs/FileList.h"
#include "net/TcpServer.h"
#include "net/Transfer.h"
#include "screen/Protocol.h"
#include "screen/Viewer.h"
#include "support/Announce.h"
#include "support/Isolation.h"
#include "ui/MainForm.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Pondar::Core::TBytes;

namespace {

struct TOptions {
  int64_t FileMiB = 1024;
  int Width = 1920, Height = 1080;
  int Fps = 5;
  int QuietSeconds = 5;
  int FramesSeconds = 10;
  int TimeoutSeconds = 300;
};

double Ms(Clock::duration ADuration) {
  return std::chrono::duration<double, std::milli>(ADuration).count();
}

uint16_t FreePort(int AType) {
  const int fd = ::socket(AF_INET, AType, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

fs::path MakeTempDir(const char* ATag) {
  std::string pattern = (fs::temp_directory_path() / (std::string("window-latency-") + ATag + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  return pattern;
}

// A file of AMiB MiB without holes, so that reading it costs what a real one does.
void WriteFile(const fs::path& APath, int64_t AMiB) {
  std::vector<char> block(1 << 20);
  std::ofstream out(APath, std::ios::binary);
  for (int64_t i = 0; i < AMiB; ++i) {
    std::memset(block.data(), static_cast<int>('a' + i % 26), block.size());
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

// Frames of a desktop-like picture: gradients under blocks of "text". Every frame moves the
// gradient and the text, so every 64 x 64 tile differs from the frame before.
std::vector<TBytes> MakeFrames(const TOptions& AOptions, int ACount) {
  const int w = AOptions.Width, h = AOptions.Height;
  std::vector<TBytes> frames;
  std::vector<uint8_t> pixels(size_t(w) * h * 3);
  uint32_t seed = 12345;
  for (int f = 0; f < ACount; ++f) {
    for (int y = 0; y < h; ++y) {
      uint8_t* row = &pixels[size_t(y) * w * 3];
      for (int x = 0; x < w; ++x) {
        const bool text = ((x + 7 * f) / 9 + (y + 3 * f) / 14) % 5 == 0 && (x / 240 + y / 135) % 2;
        seed = seed * 1103515245u + 12345u;
        const uint8_t ink = static_cast<uint8_t>(seed >> 24 & 0x3F);
        row[x * 3] = text ? ink : static_cast<uint8_t>((x + 11 * f) / 8);
        row[x * 3 + 1] = text ? ink : static_cast<uint8_t>((y + 13 * f) / 5);
        row[x * 3 + 2] = text ? ink : static_cast<uint8_t>((x + y + 17 * f) / 12);
      }
    }
    frames.push_back(Pondard::Screen::EncodeScreenFrame(static_cast<uint16_t>(w),
                                                        static_cast<uint16_t>(h), pixels.data(),
                                                        nullptr, Pondard::Screen::KeyFrame));
  }
  return frames;
}

struct TStats {
  double Median = 0, P99 = 0, Worst = 0;
  size_t Ticks = 0;
};

TStats StatsOf(std::vector<double> ALateness) {
  TStats s;
  s.Ticks = ALateness.size();
  if (ALateness.empty()) return s;
  std::sort(ALateness.begin(), ALateness.end());
  s.Median = ALateness[ALateness.size() / 2];
  s.P99 = ALateness[std::min(ALateness.size() - 1, ALateness.size() * 99 / 100)];
  s.Worst = ALateness.back();
  return s;
}

bool ParseOptions(int argc, char** argv, TOptions& AOptions) {
  const std::map<std::string, int64_t*> wide = {{"--file-mib", &AOptions.FileMiB}};
  const std::map<std::string, int*> narrow = {{"--width", &AOptions.Width},
                                              {"--height", &AOptions.Height},
                                              {"--fps", &AOptions.Fps},
                                              {"--quiet-seconds", &AOptions.QuietSeconds},
                                              {"--frames-seconds", &AOptions.FramesSeconds},
                                              {"--timeout", &AOptions.TimeoutSeconds}};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return false;
    const long long value = std::atoll(argv[++i]);
    if (auto it = wide.find(option); it != wide.end()) *it->second = value;
    else if (auto it2 = narrow.find(option); it2 != narrow.end()) *it2->second = static_cast<int>(value);
    else return false;
  }
  return AOptions.FileMiB > 0 && AOptions.Fps > 0 &&
         Pondard::Screen::FitsScreenFrame(AOptions.Width, AOptions.Height);
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: window_latency [--file-mib 1024] [--width 1920] [--height 1080] [--fps 5]"
                 " [--quiet-seconds 5] [--frames-seconds 10] [--timeout 300]\n");
    return 2;
  }
  if (!PondarTest::ForeignInterface("").empty()) {
    std::fprintf(stderr, "window_latency: REFUSING to start an engine that broadcasts outside a "
                         "network namespace of its own (run: unshare --net)\n");
    return 3;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  const fs::path appData = MakeTempDir("appdata"), folder = MakeTempDir("folder"),
                 peerFolder = MakeTempDir("peer");
  qputenv("APPDATA", appData.string().c_str());

  std::fprintf(stderr, "window_latency: writing two files of %lld MiB, encoding frames...\n",
               static_cast<long long>(options.FileMiB));
  const int64_t fileBytes = options.FileMiB << 20;
  const double modified = Pondar::Core::CurrentUtcTime() - 1.0;  // a day old
  WriteFile(peerFolder / "first.bin", options.FileMiB);
  WriteFile(peerFolder / "second.bin", options.FileMiB);
  const std::vector<TBytes> frames = MakeFrames(options, 6);

  // The peer: its server lists the first file now, the second once the frames stream.
  auto files = std::make_shared<Pondar::Fs::TFileList>();
  files->Store({"first.bin", fileBytes, modified, ""});
  Pondar::Net::TTcpServerThread peer(0, peerFolder.string(), files);
  peer.Start();
  while (peer.BoundPort() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  Pondard::App::TPondardConfig config;
  config.Name = "latency";
  config.Folder = folder.string();
  config.UdpPort = FreePort(SOCK_DGRAM);
  config.TcpPort = FreePort(SOCK_STREAM);
  config.ScreenReceive = true;
  Pondard::UI::TMainForm form(config, {[](QWidget*, const QString&) {}, [](auto) {}});
  form.Pages->setCurrentWidget(form.TabScreen);
  form.show();
  form.ShowPeers({{"peer", "127.0.0.1", peer.BoundPort(), 0, 0.0}});  // as the status timer does
  int paints = 0;
  const auto paint = form.pbScreen->OnPaint;
  form.pbScreen->OnPaint = [&](QPainter& ACanvas) {
    ++paints;
    paint(ACanvas);
  };

  // The window's own frame handling, timed: how long each picture holds the UI thread, and how
  // many it takes in a row without the loop turning in between (queued deliveries run back to
  // back).
  std::vector<double> frameMs;
  int run = 0, longestRun = 0;
  auto lastFrameEnd = Clock::now();
  auto lastLoopTurn = Clock::now();
  form.App()->SetScreenPictureSink(
      [&](const Pondard::App::RawUtf8& AName, const Pondard::Screen::TScreenPicture& APicture) {
        const auto t0 = Clock::now();
        run = lastLoopTurn < lastFrameEnd ? run + 1 : 1;
        longestRun = std::max(longestRun, run);
        form.HandleScreenPicture(AName, APicture);
        lastFrameEnd = Clock::now();
        frameMs.push_back(Ms(lastFrameEnd - t0));
      },
      [] { return std::make_unique<Pondard::Screen::TScreenViewer>(); });

  // The peer's announcements (the engine forgets a peer silent for 15 s) and its frames.
  std::atomic<bool> stop{false}, announcing{false}, streaming{false};
  std::atomic<int> framesSent{0};
  std::thread announcer([&] {
    while (!stop) {
      if (announcing)
        PondarTest::Announce(config.UdpPort, "peer", peer.BoundPort(), Pondar::Core::CurrentUtcTime());
      for (int i = 0; i < 20 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::thread sender([&] {
    const auto period = std::chrono::microseconds(1000000 / options.Fps);
    auto next = Clock::now();
    for (int i = 0; !stop; ++i) {
      if (streaming) {
        Pondar::Net::SendScreenFrame("127.0.0.1", config.TcpPort, "peer", frames[i % frames.size()]);
        ++framesSent;
      }
      next += period;
      std::this_thread::sleep_until(next);
    }
  });

  // The probe and the phases.
  const char* phaseNames[] = {"quiet", "file", "frames", "file+frames"};
  std::vector<double> lateness[4];
  int phase = 0;
  auto phaseStart = Clock::now();
  auto lastTick = Clock::now();
  const auto interval = std::chrono::milliseconds(1);
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(interval);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const auto now = Clock::now();
    lateness[phase].push_back(std::max(0.0, Ms(now - lastTick - interval)));
    lastTick = now;
    lastLoopTurn = now;
  });
  const auto arrived = [&](const char* AName) {
    std::error_code ec;
    return fs::file_size(folder / AName, ec) == static_cast<uintmax_t>(fileBytes) && !ec;
  };
  const auto next = [&](int APhase) {
    const double took = Ms(Clock::now() - phaseStart) / 1000;
    std::fprintf(stderr, "window_latency: %s done in %.1f s\n", phaseNames[phase], took);
    phase = APhase;
    phaseStart = Clock::now();
  };
  bool failed = false;
  QTimer driver;
  driver.setInterval(50);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    const double elapsed = Ms(Clock::now() - phaseStart) / 1000;
    if (elapsed > options.TimeoutSeconds) {
      std::fprintf(stderr, "window_latency: %s did not end within %d s\n", phaseNames[phase],
                   options.TimeoutSeconds);
      failed = true;
      QApplication::quit();
    } else if (phase == 0 && elapsed >= options.QuietSeconds) {
      next(1);
      announcing = true;  // a new peer: the engine syncs with it, which brings the first file
    } else if (phase == 1 && arrived("first.bin")) {
      next(2);
      streaming = true;
    } else if (phase == 2 && elapsed >= options.FramesSeconds) {
      next(3);
      files->Store({"second.bin", fileBytes, modified, ""});
      Pondar::Net::SendChangesNotify("127.0.0.1", config.TcpPort);
    } else if (phase == 3 && arrived("second.bin")) {
      next(3);
      QApplication::quit();
    }
  });
  probe.start();
  driver.start();
  lastTick = Clock::now();
  QApplication::exec();
  probe.stop();
  driver.stop();
  stop = true;
  sender.join();
  announcer.join();

  std::printf("UI thread lateness of a %lld ms timer, %s platform (ms):\n",
              static_cast<long long>(interval.count()), qPrintable(QApplication::platformName()));
  std::printf("  %-12s %8s %8s %8s %8s\n", "phase", "ticks", "median", "p99", "worst");
  for (int i = 0; i < 4; ++i) {
    const TStats s = StatsOf(lateness[i]);
    std::printf("  %-12s %8zu %8.2f %8.2f %8.2f\n", phaseNames[i], s.Ticks, s.Median, s.P99,
                s.Worst);
  }
  const TStats f = StatsOf(frameMs);
  std::printf(
      "frames sent %d, pictures taken by the window %zu (median %.2f ms, worst %.2f ms, at most %d "
      "in a row without a timer tick between), paints of the screen page %d\n",
      framesSent.load(), f.Ticks, f.Median, f.Worst, longestRun, paints);

  // One frame's work, taken apart: decoding it onto the picture (the receiver thread's), and
  // drawing the picture into the paint box's size.
  {
    Pondard::Screen::TScreenViewer viewer;
    Pondard::Screen::TScreenPicture shown;  // as the window holds the last one
    std::vector<double> apply, draw, decode;
    std::vector<uint8_t> pixels(size_t(options.Width) * options.Height * 3);
    QImage box(form.pbScreen->size(), QImage::Format_RGB32);
    for (int i = 0; i < 30; ++i) {
      auto t0 = Clock::now();
      Pondard::Screen::TScreenFrame frame;
      Pondard::Screen::ParseScreenFrame(frames[i % frames.size()], frame);
      Pondard::Screen::DecodeScreenFrame(frame, pixels.data(), pixels.size());
      decode.push_back(Ms(Clock::now() - t0));
      t0 = Clock::now();
      viewer.ApplyFrame(frames[i % frames.size()]);
      shown = viewer.Picture();
      auto t1 = Clock::now();
      QPainter canvas(&box);
      shown.PaintTo(canvas, {0, 0, box.width(), box.height()});
      canvas.end();
      auto t2 = Clock::now();
      apply.push_back(Ms(t1 - t0));
      draw.push_back(Ms(t2 - t1));
    }
    const TStats a = StatsOf(apply), d = StatsOf(draw), p = StatsOf(decode);
    std::printf(
        "one %dx%d frame of %zu bytes, median (worst) ms:\n"
        "  ApplyFrame %.2f (%.2f), of which parsing and decoding %.2f (%.2f)\n"
        "  PaintTo into %dx%d %.2f (%.2f)\n",
        options.Width, options.Height, frames[0].size(), a.Median, a.Worst, p.Median, p.Worst,
        box.width(), box.height(), d.Median, d.Worst);
  }
  std::error_code ec;
  for (const auto& dir : {appData, folder, peerFolder}) fs::remove_all(dir, ec);
  peer.Terminate();
  peer.WaitFor();
  return failed ? 1 : 0;
}
