// One real "pondard --headless" broadcasting its screen, one watching peer in a namespace of its
// own: after a key frame the watcher's picture is the sender's screen, pixel for pixel. The
// screen is an X display, or a Wayland desktop's shared through its portal.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "screen/X11ScreenSource.h"
#include "support/NetLab.h"
#include "support/PortalDesk.h"
#include "support/TestPicture.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using PondarTest::Occurrences;
using PondarTest::ReadFile;
using PondarTest::WaitFor;

namespace {

// Pixels of the watcher's picture APath (binary PPM, top-down RGB) that are not AExpected(x, y)
// (0xRRGGBB); -1 when the picture is not AWidth x AHeight.
int WrongPixels(const fs::path& APath, int AWidth, int AHeight,
                const std::function<uint32_t(int, int)>& AExpected) {
  const std::string ppm = ReadFile(APath);
  const std::string header =
      "P6\n" + std::to_string(AWidth) + " " + std::to_string(AHeight) + "\n255\n";
  if (ppm.size() != header.size() + size_t(AWidth) * AHeight * 3 || ppm.rfind(header, 0) != 0)
    return -1;
  int wrong = 0;
  for (int y = 0; y < AHeight; ++y) {
    for (int x = 0; x < AWidth; ++x) {
      const auto* shown = reinterpret_cast<const uint8_t*>(ppm.data()) + header.size() +
                          (size_t(y) * AWidth + x) * 3;
      if ((uint32_t(shown[0]) << 16 | uint32_t(shown[1]) << 8 | shown[2]) != AExpected(x, y))
        ++wrong;
    }
  }
  return wrong;
}

// A lab of two: on peer 1 the sender, "desk", sharing <Root>/share with its settings under
// <Root>/appdata; on peer 2 the watcher, "eyes", which keeps each peer's picture in
// <Shots>-<name>.ppm.
struct TScreenLab {
  explicit TScreenLab(const std::string& AIni) {
    Root.Write("appdata/Pondar/pondard.ini", AIni);
    fs::create_directories(Root.Path() / "share");
  }
  PondarTest::TLabProcess StartSender(std::map<std::string, std::string> AEnv,
                                      const std::vector<std::string>& AExtraArgs = {}) {
    PondarTest::TSpawnOptions options;
    options.Env = std::move(AEnv);
    options.Env["APPDATA"] = (Root.Path() / "appdata").string();
    options.Streams = PondarTest::TLogStreams::StdoutOnly;
    std::vector<std::string> args{PONDARD_EXE, "--headless", "--name", "desk", "--folder",
                                  (Root.Path() / "share").string()};
    args.insert(args.end(), AExtraArgs.begin(), AExtraArgs.end());
    return Lab.Spawn(1, args, options);
  }
  void StartWatcher() {
    PondarTest::TSpawnOptions options;
    options.Env["PONDAR_LAB_IFPREFIX"] = PondarTest::TNetLab::InterfacePrefix();
    Watcher = Lab.Spawn(
        2, {PondarTest::TestProgramPath("screen_viewer_peer"), "eyes", "7731", "7732", Shots},
        options);
  }

  PondarTest::TSandbox Root;
  PondarTest::TNetLab Lab{2};
  const std::string Shots = (Lab.LogDir() / "shot").string();
  PondarTest::TLabProcess Watcher;
};

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

  TScreenLab lab("[Screen]\nBroadcast=1\n");
  // The watcher comes after the sender's first key frame: it still gets one.
  auto sender = lab.StartSender({{"DISPLAY", display.Display()}});
  lab.StartWatcher();
  auto& watcher = lab.Watcher;

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
  EXPECT_EQ(WrongPixels(lab.Shots + "-desk.ppm", Width, Height,
                        [&](int AX, int AY) {  // bottom-up BGR
                          const uint8_t* real = &pixels[(size_t(Height - 1 - AY) * Width + AX) * 3];
                          return uint32_t(real[2]) << 16 | uint32_t(real[1]) << 8 | real[0];
                        }),
            0)
      << "pixels differing between the screen and the watcher's picture";

  sender.Signal(SIGTERM);
  watcher.Signal(SIGTERM);
  EXPECT_EQ(sender.WaitExit(10s), 0) << sender.ReadStderr();
  EXPECT_EQ(watcher.WaitExit(10s), 0);
}

// A Wayland desktop (support/PortalDesk.h): the portal is asked once, its token kept for the
// next start; frames are the stream's pixels and a change travels as its tiles alone; every way
// the share can fail is said in one line while the peer runs on, its clipboard still going
// through the desktop's X11 bridge.
TEST(ScreenLabTest, WaylandDesktop_SharedThroughThePortal) {
  std::string why;
  if (!PondarTest::TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
  if (!PondarTest::TPortalDesk::Available(&why)) GTEST_SKIP() << "no Wayland desktop: " << why;
#if defined(__SANITIZE_THREAD__)
  // With a session bus, Qt's X11 platform talks to it on a thread of its own, in code built
  // without ThreadSanitizer, whose locking is then taken for races: this build leaves the X11
  // bridge, and with it the clipboard, out.
  constexpr bool WithBridge = false;
#else
  constexpr bool WithBridge = true;
#endif
  std::optional<PondarTest::TXvfb> bridge;  // the desktop's X11 bridge, for the clipboard
  if (WithBridge) {
    bridge.emplace();
    if (!bridge->Ok()) GTEST_SKIP() << bridge->Why();
    if (!PondarTest::HaveProgram("xclip")) GTEST_SKIP() << "xclip is missing";
  }
  constexpr int Width = 330, Height = 200;  // a last tile column of 10 pixels, a last row of 8
  TScreenLab lab("[Screen]\nBroadcast=1\nRestoreToken=spent\n");
  // Red and blue bytes the other way round from the frames' order: a mix-up shows.
  PondarTest::TPortalDesk desk(lab.Lab, 1, Width, Height, "RGBx");
  const fs::path ini = lab.Root.Path() / "appdata/Pondar/pondard.ini";
  const auto startSender = [&] {
    auto env = desk.Env();
    env["DISPLAY"] = bridge ? bridge->Display() : "";
    return lab.StartSender(env, {"--clipboard"});
  };
  lab.StartWatcher();
  auto& watcher = lab.Watcher;
  const std::string& shots = lab.Shots;
  const auto said = [](PondarTest::TLabProcess& AProcess, const std::string& ALine, size_t ATimes) {
    // Five times the longest the program itself waits before it speaks (ten seconds for a
    // picture format).
    return WaitFor([&] { return Occurrences(AProcess.ReadLog(), ALine) >= ATimes; }, 60s);
  };
  const std::string unavailable = "\u26A0 Screen broadcasting is unavailable: ";
  // A text copied on the desktop's X11 bridge reaches the watcher. Copied again under a new
  // name while it does not: a copy made before the sender's clipboard watcher first looked is
  // what the clipboard held at its start, which is never sent.
  const auto clipboardStillShared = [&](PondarTest::TLabProcess& ASender, const std::string& AText) {
    if (!bridge) return;
    for (int attempt = 1; attempt <= 5; ++attempt) {
      const std::string text = AText + "-" + std::to_string(attempt);
      ASSERT_EQ(
          PondarTest::RunOnDisplay(bridge->Display(), {"xclip", "-selection", "clipboard"}, text)
              .Status,
          0);
      if (WaitFor([&] { return Occurrences(watcher.ReadLog(), "clip " + text + "\n") == 1; }, 10s))
        return;
    }
    ADD_FAILURE() << "no copy reached the watcher:\n"
                  << watcher.ReadLog() << "sender:\n"
                  << ASender.ReadLog() << ASender.ReadStderr();
  };
  // The token of an earlier share is no longer taken: the user is asked, and the new one kept.
  auto sender = startSender();
  ASSERT_TRUE(said(watcher, "key desk 330 200\n", 1))
      << sender.ReadLog() << sender.ReadStderr() << desk.Describe() << watcher.ReadLog();
  EXPECT_NE(sender.ReadLog().find("Screen broadcast started (Wayland desktop through the desktop "
                                  "portal)"),
            std::string::npos);
  EXPECT_EQ(desk.Log().find("restored"), std::string::npos) << desk.Log();
  EXPECT_NE(desk.Log().find("asked\ngranted tok1\n"), std::string::npos) << desk.Log();
  EXPECT_NE(ReadFile(ini).find("RestoreToken=tok1"), std::string::npos) << ReadFile(ini);
  EXPECT_EQ(WrongPixels(shots + "-desk.ppm", Width, Height, PondarTest::TestPicture), 0);

  // Tiles (1, 1) and (2, 1) only; on a still screen nothing else is sent.
  desk.Command("fill 64 64 128 64 c08040");
  ASSERT_TRUE(said(watcher, "delta desk", 1)) << watcher.ReadLog() << desk.Describe();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(Occurrences(watcher.ReadLog(), "delta desk"), 1u) << watcher.ReadLog();
  EXPECT_NE(watcher.ReadLog().find("delta desk 2\n"), std::string::npos) << watcher.ReadLog();
  EXPECT_EQ(WrongPixels(shots + "-desk.ppm", Width, Height,
                        [](int AX, int AY) {
                          const bool filled = AX >= 64 && AX < 192 && AY >= 64 && AY < 128;
                          return filled ? 0xc08040u : PondarTest::TestPicture(AX, AY);
                        }),
            0);
  clipboardStillShared(sender, "while-shared");

  desk.Command("drop");
  EXPECT_TRUE(said(sender, unavailable + "the desktop ended the screen share", 1))
      << sender.ReadLog();
  clipboardStillShared(sender, "after-drop");
  sender.Signal(SIGTERM);
  EXPECT_EQ(sender.WaitExit(10s), 0) << sender.ReadStderr();

  // The second start is not asked, and begins with a whole picture.
  const size_t keyFrames = Occurrences(watcher.ReadLog(), "key desk");
  sender = startSender();
  ASSERT_TRUE(said(watcher, "key desk 330 200\n", keyFrames + 1)) << desk.Describe();
  EXPECT_EQ(Occurrences(desk.Log(), "asked"), 1u) << desk.Log();
  EXPECT_NE(desk.Log().find("restored tok1\ngranted tok2\n"), std::string::npos) << desk.Log();
  EXPECT_NE(ReadFile(ini).find("RestoreToken=tok2"), std::string::npos) << ReadFile(ini);
  sender.Signal(SIGTERM);
  EXPECT_EQ(sender.WaitExit(10s), 0) << sender.ReadStderr();

  // Stopped while the question is still open: it ends at once all the same.
  lab.Root.Write("appdata/Pondar/pondard.ini", "[Screen]\nBroadcast=1\n");
  desk.Command("hold on");
  sender = startSender();
  ASSERT_TRUE(WaitFor([&] { return Occurrences(desk.Log(), "asked") == 2; }, 30s)) << desk.Log();
  sender.Signal(SIGTERM);
  EXPECT_EQ(sender.WaitExit(10s), 0) << sender.ReadStderr();
  desk.Command("hold off");

  // A picture in a form not read here, declined, no portal at all: one line each, and the peer
  // runs on.
  for (const auto& [command, reason] :
       {std::pair{"format YUY2", "the desktop sends the screen in no form that can be read here "
                                 "(only 8-bit RGB in four bytes can)"},
        {"decline on", "the screen share was declined"},
        {"leave",
         "no desktop portal answers on the session bus (is xdg-desktop-portal installed?)"}}) {
    SCOPED_TRACE(reason);
    lab.Root.Write("appdata/Pondar/pondard.ini", "[Screen]\nBroadcast=1\n");  // the user is asked
    desk.Command(command);
    sender = startSender();
    EXPECT_TRUE(said(sender, unavailable + reason, 1)) << sender.ReadLog() << desk.Describe();
    clipboardStillShared(sender, std::string("after-") + command);
    EXPECT_EQ(Occurrences(sender.ReadLog(), unavailable), 1u) << sender.ReadLog();
    sender.Signal(SIGTERM);
    EXPECT_EQ(sender.WaitExit(10s), 0) << sender.ReadStderr();
  }
  watcher.Signal(SIGTERM);
  EXPECT_EQ(watcher.WaitExit(10s), 0);
}

}  // namespace
