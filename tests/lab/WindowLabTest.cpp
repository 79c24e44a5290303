// Two whole peers with windows, each a real "pondard" in a network namespace of its own with an
// X display of its own: one broadcasts its screen, and the other's "Screen Sharing" page, chosen
// with the mouse as a user would, shows that screen scaled into its paint box.
#include <gtest/gtest.h>
#include <signal.h>

#include <QImage>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "screen/Viewer.h"
#include "screen/X11ScreenSource.h"
#include "support/NetLab.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using PondarTest::RunOnDisplay;
using PondarTest::WaitFor;

namespace {

constexpr int ScreenW = 1024, ScreenH = 768;

// What a display shows, top-down, as 0xRRGGBB.
struct TShot {
  int W = 0, H = 0;
  std::vector<uint32_t> Px;
  uint32_t At(int AX, int AY) const { return Px[size_t(AY) * W + AX]; }
};

// The whole display through the screen source the broadcasting peer uses itself (the mouse
// pointer is not in it).
std::optional<TShot> Grab(const std::string& ADisplay, std::string& AWhy) {
  auto source = Pondard::Screen::OpenX11ScreenSource(ADisplay, AWhy);
  TShot shot;
  if (!source || !source->Size(shot.W, shot.H)) return std::nullopt;
  std::vector<uint8_t> bgr(size_t(shot.W) * shot.H * 3);  // bottom-up blue-green-red
  if (!source->Grab(bgr.data(), shot.W, shot.H)) return std::nullopt;
  shot.Px.resize(size_t(shot.W) * shot.H);
  for (int y = 0; y < shot.H; ++y)
    for (int x = 0; x < shot.W; ++x) {
      const uint8_t* p = &bgr[(size_t(shot.H - 1 - y) * shot.W + x) * 3];
      shot.Px[size_t(y) * shot.W + x] = uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
    }
  return shot;
}

void Save(const TShot& AShot, const fs::path& APath) {
  QImage image(AShot.W, AShot.H, QImage::Format_RGB32);
  for (int y = 0; y < AShot.H; ++y)
    for (int x = 0; x < AShot.W; ++x) image.setPixel(x, y, 0xFF000000u | AShot.At(x, y));
  image.save(QString::fromStdString(APath.string()));
}

// The sender's desk: 128-pixel blocks whose red, green and blue all differ from one another and
// from block to block, none black, so a swapped channel, a mirror or a shift shows.
uint32_t DeskColour(int AX, int AY) {
  const int i = AX / 128, j = AY / 128;
  return uint32_t(40 + 26 * i) << 16 | uint32_t(235 - 33 * j) << 8 | uint32_t(90 + 11 * i + 7 * j);
}

struct TBox {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};

// The bounding box of the largest 4-connected area of pure black inside AArea. On the
// Screen Sharing page before any picture that is the paint box: black all over, with grey text
// inside it; no other control is drawn black over more than a glyph.
TBox LargestBlackArea(const TShot& AShot, const TBox& AArea, int64_t& ASize) {
  std::vector<uint8_t> seen(AShot.Px.size(), 0);
  std::vector<std::pair<int, int>> stack;
  TBox best;
  ASize = 0;
  for (int y0 = AArea.Top; y0 < AArea.Top + AArea.Height; ++y0)
    for (int x0 = AArea.Left; x0 < AArea.Left + AArea.Width; ++x0) {
      if (seen[size_t(y0) * AShot.W + x0] || AShot.At(x0, y0) != 0) continue;
      int64_t size = 0;
      int l = x0, t = y0, r = x0, b = y0;
      stack.assign(1, {x0, y0});
      seen[size_t(y0) * AShot.W + x0] = 1;
      while (!stack.empty()) {
        const auto [x, y] = stack.back();
        stack.pop_back();
        ++size;
        l = std::min(l, x), r = std::max(r, x), t = std::min(t, y), b = std::max(b, y);
        for (const auto& [nx, ny] : {std::pair{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}}) {
          if (nx < AArea.Left || ny < AArea.Top || nx >= AArea.Left + AArea.Width ||
              ny >= AArea.Top + AArea.Height)
            continue;
          uint8_t& mark = seen[size_t(ny) * AShot.W + nx];
          if (mark || AShot.At(nx, ny) != 0) continue;
          mark = 1;
          stack.push_back({nx, ny});
        }
      }
      if (size > ASize) ASize = size, best = {l, t, r - l + 1, b - t + 1};
    }
  return best;
}

// How the receiving paint box compares with the sender's screen drawn into it as the viewer
// draws it: into ViewerTargetRect, smoothly scaled, on black.
struct TComparison {
  int64_t Checked = 0;     // picture pixels whose source area is of one colour
  int64_t Picture = 0;     // all picture pixels but its outermost ring
  int64_t Wrong = 0;       // checked pixels off by more than Tolerance in some channel
  int64_t BarsWrong = 0;   // pixels of the black bars that are not black
  std::string FirstWrong;  // where, for the failure message
};

// Smoothing blends neighbouring source pixels, and differently in every scaler; where the
// source is flat it must give back the source colour. A pixel is checked only when every
// source pixel under it, and two more on every side, has one colour; that colour must come
// back within a few levels per channel.
constexpr int Tolerance = 4;
constexpr int Margin = 2;

TComparison Compare(const TShot& ASender, const TShot& AReceiver, const TBox& APaintBox) {
  TComparison c;
  const auto target = Pondard::Screen::ViewerTargetRect(
      ASender.W, ASender.H, {APaintBox.Left, APaintBox.Top, APaintBox.Left + APaintBox.Width,
                             APaintBox.Top + APaintBox.Height});
  if (!target) return c;
  const int tw = target->Right - target->Left, th = target->Bottom - target->Top;
  const auto note = [&](int AX, int AY, uint32_t AWant, uint32_t AGot) {
    if (!c.FirstWrong.empty()) return;
    std::ostringstream s;
    s << std::hex << "at (" << std::dec << AX << ", " << AY << ") of the receiving display: 0x"
      << std::hex << AGot << " instead of 0x" << AWant;
    c.FirstWrong = s.str();
  };
  for (int y = APaintBox.Top; y < APaintBox.Top + APaintBox.Height; ++y)
    for (int x = APaintBox.Left; x < APaintBox.Left + APaintBox.Width; ++x) {
      const bool inside = x >= target->Left && x < target->Right && y >= target->Top &&
                          y < target->Bottom;
      const bool ring = x >= target->Left - 1 && x <= target->Right && y >= target->Top - 1 &&
                        y <= target->Bottom && !(x > target->Left && x < target->Right - 1 &&
                                                 y > target->Top && y < target->Bottom - 1);
      if (ring) continue;  // the picture's edge blends with the black around it
      if (!inside) {
        if (AReceiver.At(x, y) != 0) ++c.BarsWrong, note(x, y, 0, AReceiver.At(x, y));
        continue;
      }
      ++c.Picture;
      const int dx = x - target->Left, dy = y - target->Top;
      const int sx0 = std::max(0, int(int64_t{dx} * ASender.W / tw) - Margin);
      const int sx1 = std::min(ASender.W - 1, int(int64_t{dx + 1} * ASender.W / tw) + Margin);
      const int sy0 = std::max(0, int(int64_t{dy} * ASender.H / th) - Margin);
      const int sy1 = std::min(ASender.H - 1, int(int64_t{dy + 1} * ASender.H / th) + Margin);
      const uint32_t want = ASender.At(sx0, sy0);
      bool flat = true;
      for (int sy = sy0; flat && sy <= sy1; ++sy)
        for (int sx = sx0; flat && sx <= sx1; ++sx) flat = ASender.At(sx, sy) == want;
      if (!flat) continue;
      ++c.Checked;
      const uint32_t got = AReceiver.At(x, y);
      for (int shift : {0, 8, 16}) {
        if (std::abs(int(got >> shift & 0xFF) - int(want >> shift & 0xFF)) > Tolerance) {
          ++c.Wrong, note(x, y, want, got);
          break;
        }
      }
    }
  return c;
}

class WindowLabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!PondarTest::TNetLab::Available(&why)) GTEST_SKIP() << "network lab unavailable: " << why;
    if (!PondarTest::HaveProgram("xdotool")) GTEST_SKIP() << "xdotool is not installed";
    for (auto& x : Xs)
      if (!(x = std::make_unique<PondarTest::TXvfb>(ScreenW, ScreenH))->Ok())
        GTEST_SKIP() << "no X: " << x->Why();
    Lab = std::make_unique<PondarTest::TNetLab>(2);
  }
  void TearDown() override {
    // The peers go before their displays: a Qt program whose display vanishes dies with it.
    for (auto& p : Procs) {
      if (p.Pid() <= 0 || !p.Signal(SIGTERM)) continue;
      EXPECT_EQ(p.WaitExit(30s), 0) << "a peer did not stop cleanly: " << p.ReadLog();
    }
    for (int i = 0; HasFailure() && i < 2 && Procs[i].Pid() > 0; ++i)
      std::cerr << "---- peer " << i + 1 << "\n" << Procs[i].ReadLog();
  }

  // Peer APeer (1 or 2) with its window on display APeer and the settings file AIni.
  void Start(int APeer, const std::string& AIni) {
    const fs::path own = Root.Path() / ("p" + std::to_string(APeer));
    fs::create_directories(own / "Pondar");
    fs::create_directories(own / "folder");
    std::ofstream(own / "Pondar/pondard.ini") << AIni;
    PondarTest::TSpawnOptions options;
    options.Env = PondarTest::QtPeerEnv(Xs[APeer - 1]->Display());
    options.Env["APPDATA"] = own.string();
    options.Env["QT_QPA_PLATFORM"] = "xcb";
    Procs[APeer - 1] = Lab->Spawn(APeer,
                                  {PONDARD_EXE, "--name", APeer == 1 ? "desk" : "eyes", "--folder",
                                   (own / "folder").string()},
                                  options);
  }

  // The window of peer APeer once it is mapped: its place on its display.
  std::optional<TBox> WindowOf(int APeer, std::string& AId) {
    const std::string& display = Xs[APeer - 1]->Display();
    if (!WaitFor(
            [&] {
              const auto r = RunOnDisplay(
                  display, {"xdotool", "search", "--onlyvisible", "--name", "^Pondar Desktop$"});
              AId = r.Out.substr(0, r.Out.find('\n'));
              return r.Status == 0 && !AId.empty();
            },
            60s))
      return std::nullopt;
    const auto r = RunOnDisplay(display, {"xdotool", "getwindowgeometry", "--shell", AId});
    TBox box;
    std::istringstream lines(r.Out);
    for (std::string line; std::getline(lines, line);) {
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq);
      const int value = std::atoi(line.c_str() + eq + 1);
      if (key == "X") box.Left = value;
      if (key == "Y") box.Top = value;
      if (key == "WIDTH") box.Width = value;
      if (key == "HEIGHT") box.Height = value;
    }
    if (box.Width <= 0 || box.Height <= 0) return std::nullopt;
    return box;
  }

  PondarTest::TSandbox Root;
  std::unique_ptr<PondarTest::TXvfb> Xs[2];
  std::unique_ptr<PondarTest::TNetLab> Lab;
  PondarTest::TLabProcess Procs[2];
};

}  // namespace

TEST_F(WindowLabTest, ScreenPageShowsTheBroadcastingPeersScreenScaledIntoItsPaintBox) {
  const std::string& senderX = Xs[0]->Display();
  const std::string& viewerX = Xs[1]->Display();
  ASSERT_TRUE(PondarTest::TXClient(senderX).FillRoot(ScreenW, ScreenH, DeskColour));
  // No black behind the receiving window, so that the only large black area is its paint box.
  ASSERT_TRUE(PondarTest::TXClient(viewerX).FillRoot(ScreenW, ScreenH,
                                                       [](int, int) { return 0x5A6E82u; }));
  std::string why;

  // The receiving peer first: its paint box is found while it still shows "No peers connected".
  Start(2, "[Screen]\nReceive=1\n");
  std::string windowId;
  const std::optional<TBox> window = WindowOf(2, windowId);
  ASSERT_TRUE(window) << "the receiving peer's window did not appear";
  // Its pages' tabs sit at the left of the strip along its top, "Screen Sharing" last: seen from
  // the right, the first pixel of that row unlike the empty strip beside the tabs is the edge
  // of that tab.
  TBox paintBox;
  int64_t blackArea = 0;
  std::optional<TShot> shot;
  ASSERT_TRUE(WaitFor([&] { return (shot = Grab(viewerX, why)).has_value(); }, 30s)) << why;
  const int tabRow = window->Top + 10;
  const int strip = window->Left + window->Width - 3;
  int tabEdge = strip;
  ASSERT_TRUE(WaitFor(
      [&] {
        shot = Grab(viewerX, why);
        if (!shot) return false;
        tabEdge = strip;
        while (tabEdge > window->Left && shot->At(tabEdge, tabRow) == shot->At(strip, tabRow))
          --tabEdge;
        // Painted once the strip holds all three tabs: a third of its width at least.
        return tabEdge - window->Left > window->Width / 4;
      },
      60s))
      << "the receiving window's tabs were not found";
  const auto click = RunOnDisplay(
      viewerX, {"xdotool", "mousemove", "--window", windowId,
                std::to_string(tabEdge - window->Left - 25), std::to_string(tabRow - window->Top),
                "click", "1"});
  ASSERT_EQ(click.Status, 0) << click.Err;
  const bool screenPage = WaitFor(
      [&] {
        shot = Grab(viewerX, why);
        if (!shot) return false;
        paintBox = LargestBlackArea(*shot, *window, blackArea);
        return paintBox.Width > window->Width / 2 && paintBox.Height > window->Height / 2;
      },
      30s);
  if (!screenPage && shot) Save(*shot, Lab->LogDir() / "receiver.png");
  ASSERT_TRUE(screenPage) << "no screen page after a click on its tab; the receiving display is "
                          << (Lab->LogDir() / "receiver.png") << " (PONDAR_KEEP_LAB_LOGS=1 keeps it)";
  // A box of black with only the grey line of text in it.
  EXPECT_GT(blackArea, int64_t{paintBox.Width} * paintBox.Height * 9 / 10);

  // Now the broadcasting peer. The receiving window lists it at its next status tick (every
  // 5 s) and shows its screen from the next frame on.
  Start(1, "[Screen]\nBroadcast=1\n");
  TComparison last;
  std::optional<TShot> sent, seen;
  const bool same = WaitFor(
      [&] {
        sent = Grab(senderX, why);
        seen = Grab(viewerX, why);
        if (!sent || !seen) return false;
        last = Compare(*sent, *seen, paintBox);
        return last.Wrong == 0 && last.BarsWrong == 0 && last.Checked > last.Picture / 2;
      },
      90s);
  if (!same && sent && seen) {
    Save(*sent, Lab->LogDir() / "sender.png");
    Save(*seen, Lab->LogDir() / "receiver.png");
  }
  EXPECT_TRUE(same) << last.Wrong << " of " << last.Checked << " checked pixels (of "
                    << last.Picture << " in the picture) and " << last.BarsWrong
                    << " pixels of the bars differ; first " << last.FirstWrong << "; paint box ("
                    << paintBox.Left << ", " << paintBox.Top << ") " << paintBox.Width << " x "
                    << paintBox.Height << "; the displays are in " << Lab->LogDir()
                    << " (PONDAR_KEEP_LAB_LOGS=1 keeps them)";
}
