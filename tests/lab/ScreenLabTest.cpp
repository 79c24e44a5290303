// One real "pondard --headless" broadcasting its X display, one watching peer in a namespace of
// its own: after a key frame the watcher's picture is the sender's screen, pixel for pixel.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "screen/X11ScreenSource.h"
#include "support/NetLab.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using PondarTest::WaitFor;

namespace {

std::string ReadFile(const fs::path& APath) {
  std::ifstream in(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ScreenLabTest, KeyFrameAtTheWatcherEqualsTheSendersScreen) {
  std::string why;
  if (!PondarTest::TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
  constexpr int Width = 1366, Height = 200;  // rows of 4098 bytes: no padding may creep in
  PondarTest::TXvfb display(Width, Height);
  if (!display.Ok()) GTEST_SKIP() << display.Why();
  if (!PondarTest::HaveProgram("xsetroot")) GTEST_SKIP() << "xsetroot is missing";
  // A plaid of two colours whose red, green and blue all differ, so a swapped channel shows.
  ASSERT_EQ(PondarTest::RunOnDisplay(display.Display(), {"xsetroot", "-mod", "7", "5", "-fg",
                                                         "#ff8010", "-bg", "#1040c0"})
                .Status,
            0);

  PondarTest::TSandbox root;
  fs::create_directories(root.Path() / "appdata/Pondar");
  std::ofstream(root.Path() / "appdata/Pondar/pondard.ini") << "[Screen]\nBroadcast=1\n";
  fs::create_directories(root.Path() / "share");
  PondarTest::TNetLab lab(2);
  PondarTest::TSpawnOptions options;
  options.Env["APPDATA"] = (root.Path() / "appdata").string();
  options.Env["DISPLAY"] = display.Display();
  options.Streams = PondarTest::TLogStreams::StdoutOnly;
  auto sender = lab.Spawn(
      1,
      {PONDARD_EXE, "--headless", "--name", "desk", "--folder", (root.Path() / "share").string()},
      options);
  const std::string shots = (lab.LogDir() / "shot").string();
  PondarTest::TSpawnOptions watcherOptions;
  watcherOptions.Env["PONDAR_LAB_IFPREFIX"] = PondarTest::TNetLab::InterfacePrefix();
  auto watcher = lab.Spawn(
      2, {PondarTest::TestProgramPath("screen_viewer_peer"), "eyes", "7731", "7732", shots},
      watcherOptions);

  // The first frame is a key frame; later ones every five seconds.
  ASSERT_TRUE(WaitFor([&] { return watcher.ReadLog().find("key desk") != std::string::npos; }, 30s))
      << "sender:\n"
      << sender.ReadLog() << sender.ReadStderr() << "\nwatcher:\n"
      << watcher.ReadLog();
  EXPECT_NE(sender.ReadLog().find("Screen broadcast started"), std::string::npos);
  EXPECT_NE(watcher.ReadLog().find("key desk 1366 200"), std::string::npos);

  auto screen = Pondard::Screen::OpenX11ScreenSource(display.Display(), why);
  ASSERT_TRUE(screen) << why;
  int width = 0, height = 0;
  ASSERT_TRUE(screen->Size(width, height));
  ASSERT_EQ(width * 1000 + height, Width * 1000 + Height);
  std::vector<uint8_t> pixels(size_t(Width) * Height * 3);
  ASSERT_TRUE(screen->Grab(pixels.data(), Width, Height));
  const std::string ppm = ReadFile(shots + "-desk.ppm");
  const std::string header = "P6\n1366 200\n255\n";
  ASSERT_EQ(ppm.size(), header.size() + pixels.size());
  ASSERT_EQ(ppm.substr(0, header.size()), header);
  int wrong = 0;
  for (int y = 0; y < Height; ++y) {
    for (int x = 0; x < Width; ++x) {
      const auto* shown = reinterpret_cast<const uint8_t*>(ppm.data()) + header.size() +
                          (size_t(y) * Width + x) * 3;                          // top-down RGB
      const uint8_t* real = &pixels[(size_t(Height - 1 - y) * Width + x) * 3];  // bottom-up BGR
      if (shown[0] != real[2] || shown[1] != real[1] || shown[2] != real[0]) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0) << "pixels differing between the screen and the watcher's picture";

  sender.Signal(SIGTERM);
  watcher.Signal(SIGTERM);
  EXPECT_EQ(sender.WaitExit(10s), 0) << sender.ReadStderr();
  EXPECT_EQ(watcher.WaitExit(10s), 0);
}

}  // namespace
