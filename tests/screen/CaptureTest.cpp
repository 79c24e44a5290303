// The capture thread against a scripted screen (key frames, failures, stopping), and the X11
// source against a real X server under Xvfb (picture layout, resolution changes, colour depths).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "screen/Capture.h"
#include "screen/Protocol.h"
#include "screen/X11ScreenSource.h"
#include "support/Recorder.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

namespace {

using namespace std::chrono_literals;
using Pondard::Screen::TBytes;
using Pondard::Screen::TScreenCaptureThread;
using Pondard::Screen::TScreenFrame;
using Strings = std::vector<std::string>;

// What the screen does at one capture: its size, whether it can be copied, what it shows.
struct TShot {
  int Width = 128, Height = 64;
  bool Known = true;              // Size answers
  bool Copied = true;             // Grab succeeds (when not, it leaves junk in the buffer)
  uint8_t Picture = 1;            // which picture it shows
  const char* Throws = nullptr;   // Size throws this instead
  const char* Gone = nullptr;     // Size throws this as TScreenUnavailable
  bool Same = false;              // SameAsLastGrab answers true (the picture is then not grabbed)
};
using TScript = std::function<TShot(int ACapture)>;

// A screen that follows a script by the number of the capture (the count of Size calls), so
// the frames are the same however the threads are scheduled.
class TScriptedScreen : public Pondard::Screen::TScreenSource {
 public:
  TScriptedScreen(TScript AScript, std::shared_ptr<std::atomic<int>> ACaptures)
      : FScript(std::move(AScript)), FCaptures(std::move(ACaptures)) {}
  bool Size(int& AWidth, int& AHeight) override {
    FShot = FScript((*FCaptures)++);
    if (FShot.Throws) throw std::runtime_error(FShot.Throws);
    if (FShot.Gone) throw Pondard::Screen::TScreenUnavailable(FShot.Gone);
    AWidth = FShot.Width;
    AHeight = FShot.Height;
    return FShot.Known;
  }
  bool Grab(uint8_t* APixels, int AWidth, int AHeight) override {
    const size_t n = static_cast<size_t>(AWidth) * AHeight * 3;
    for (size_t i = 0; i < n; ++i)
      APixels[i] = FShot.Copied ? static_cast<uint8_t>(i * 7 + FShot.Picture * 13) : 0xEE;
    return FShot.Copied;
  }
  bool SameAsLastGrab() override { return FShot.Same; }

 private:
  const TScript FScript;
  const std::shared_ptr<std::atomic<int>> FCaptures;
  TShot FShot;
};

// "K<w>x<h>" for a key frame of every tile, "D<n>" for a delta frame of n tiles ("D0" only for
// the 8 bytes of an unchanged screen); anything else says what is wrong with it.
std::string Summary(const TBytes& AData) {
  TScreenFrame frame;
  if (!Pondard::Screen::ParseScreenFrame(AData, frame) || frame.Data.size() < 2) return "bad";
  const int tiles = frame.Data[0] | frame.Data[1] << 8;
  if (frame.FrameType == Pondard::Screen::DeltaFrame)
    return tiles == 0 && AData.size() != 8 ? "D0 of " + std::to_string(AData.size()) + " bytes"
                                           : "D" + std::to_string(tiles);
  const int all = (frame.Width + 63) / 64 * ((frame.Height + 63) / 64);
  return "K" + std::to_string(frame.Width) + "x" + std::to_string(frame.Height) +
         (tiles == all ? "" : " of " + std::to_string(tiles) + " tiles");
}

Strings Then(Strings AHead, const std::string& AItem, size_t ACount = 1) {
  AHead.insert(AHead.end(), ACount, AItem);
  return AHead;
}

// A capture thread over a source, recording frames and reports.
struct TRig {
  explicit TRig(std::unique_ptr<Pondard::Screen::TScreenSource> ASource, int AIntervalMs = 1,
                bool AListen = true, std::shared_ptr<std::atomic<int>> ACaptures = nullptr)
      : Captures(std::move(ACaptures)), Thread(AIntervalMs, std::move(ASource)) {
    if (AListen) Thread.OnFrame = [this](TBytes AData) { Frames.Add(std::move(AData)); };
    Thread.OnProblem = [this](const std::string& AMessage) { Reports.Add(AMessage); };
  }
  TRig(TScript AScript, int AIntervalMs = 1, bool AListen = true,
       std::shared_ptr<std::atomic<int>> ACaptures = std::make_shared<std::atomic<int>>(0))
      : TRig(std::make_unique<TScriptedScreen>(std::move(AScript), ACaptures), AIntervalMs,
             AListen, ACaptures) {}
  bool WaitFrames(size_t ACount) {
    return PondarTest::WaitFor([&] { return Frames.Count() >= ACount; }, 60s);
  }
  Strings Summaries(size_t AFirst) const {
    Strings out;
    for (const TBytes& frame : Frames.All()) out.push_back(Summary(frame));
    out.resize(std::min(out.size(), AFirst));
    return out;
  }

  const std::shared_ptr<std::atomic<int>> Captures;  // of a scripted screen
  PondarTest::TRecorder<TBytes> Frames;
  PondarTest::TRecorder<std::string> Reports;
  TScreenCaptureThread Thread;  // last: it stops before the recorders go
};

struct TScriptCase {
  const char* Name;
  TScript Script;
  Strings Frames;   // the first frames
  Strings Reports;  // all reports
};

const Strings KSteady = Then(Then({"K128x64"}, "D0", 24), "K128x64");

const TScriptCase KScriptCases[] = {
    {"UnchangedScreen_KeyThen24EmptyDeltasThenKey",
     [](int) { return TShot{}; },
     Then(KSteady, "D0"),
     {}},
    {"SizeChange_KeyOfNewSizeAndCountRestarts",
     [](int ACapture) { return ACapture < 3 ? TShot{} : TShot{.Width = 200, .Height = 100}; },
     Then(Then({"K128x64", "D0", "D0", "K200x100"}, "D0", 24), "K200x100"),
     {}},
    // The junk of the failed copies never travels, and the picture from before them stays the
    // reference: the first frame after them carries just the two tiles that really changed.
    {"CopyFails_NoFrameAndLastFrameStaysReference",
     [](int ACapture) {
       return TShot{.Copied = ACapture < 1 || ACapture > 2, .Picture = uint8_t(ACapture ? 2 : 1)};
     },
     Then(Then({"K128x64", "D2"}, "D0", 23), "K128x64"),
     {}},
    {"SizeUnknown_NoFrame",
     [](int ACapture) {
       return ACapture == 1 ? TShot{.Known = false} : ACapture == 2 ? TShot{.Width = 0} : TShot{};
     },
     KSteady,
     {}},
    {"Exception_ReportedOnceUntilAFrameIsMade",
     [](int ACapture) {
       return TShot{.Throws = ACapture == 1 || ACapture == 2 || ACapture == 5 ? "display gone"
                                                                               : nullptr};
     },
     KSteady,
     {"Screen capture: display gone", "Screen capture: display gone"}},
    // Told nothing changed, the thread neither grabs (which would show picture 2) nor encodes
    // anew; the key frame due is the first one again.
    {"SameAsLastGrab_EmptyDeltasWithoutGrabbing",
     [](int ACapture) { return TShot{.Picture = uint8_t(ACapture ? 2 : 1), .Same = ACapture > 0}; },
     Then(KSteady, "D0"),
     {}},
    // A share that ends and comes back: said once, and the first frame after it is whole.
    {"Unavailable_SaidOnceAndTheReturnStartsWithAKeyFrame",
     [](int ACapture) {
       return TShot{.Gone = ACapture == 1 || ACapture == 2 ? "share ended" : nullptr};
     },
     Then(Then({"K128x64", "K128x64"}, "D0", 24), "K128x64"),
     {"Screen broadcasting is unavailable: share ended"}},
    {"TooLarge_RefusedOnceAndLaterSizeWorks",
     [](int ACapture) {
       return ACapture < 3 ? TShot{.Width = 70000, .Height = 1080} : TShot{.Width = 64, .Height = 64};
     },
     Then(Then({"K64x64"}, "D0", 24), "K64x64"),
     {"Screen of 70000 × 1080 pixels is too large to broadcast"}},
};

void PrintTo(const TScriptCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class CaptureScriptTest : public testing::TestWithParam<TScriptCase> {};

TEST_P(CaptureScriptTest, Frames) {
  const TScriptCase& c = GetParam();
  TRig rig(c.Script);
  rig.Thread.Start();
  ASSERT_TRUE(rig.WaitFrames(c.Frames.size()));
  rig.Thread.Terminate();
  rig.Thread.WaitFor();
  EXPECT_EQ(rig.Summaries(c.Frames.size()), c.Frames);
  EXPECT_EQ(rig.Reports.All(), c.Reports);
}

INSTANTIATE_TEST_SUITE_P(Script, CaptureScriptTest, testing::ValuesIn(KScriptCases),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(CaptureTest, NoHandler_NoCaptureAtAll) {
  TRig rig([](int) { return TShot{}; }, 1, false);
  rig.Thread.Start();
  std::this_thread::sleep_for(200ms);  // some 200 pauses of 1 ms
  rig.Thread.Terminate();
  rig.Thread.WaitFor();
  EXPECT_EQ(*rig.Captures, 0);
}

TEST(CaptureTest, TerminateDuringPause_EndsPromptlyWithoutAnotherCapture) {
  TRig rig([](int) { return TShot{}; }, 60'000);
  rig.Thread.Start();
  ASSERT_TRUE(rig.WaitFrames(1));
  const auto start = std::chrono::steady_clock::now();
  rig.Thread.Terminate();
  rig.Thread.WaitFor();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // takes a millisecond or so
  EXPECT_EQ(*rig.Captures, 1);
}

// ---- Under Xvfb ----

// Distinct in every pixel of a screen up to 2048 x 2048, so a shear or a flip shows anywhere.
uint32_t Pattern(int AX, int AY) {
  return uint32_t(AX & 0xff) << 16 | uint32_t(AY & 0xff) << 8 | uint32_t(AX >> 8 | (AY >> 8) << 3);
}

// The first pixel of the decoded key frame in AData that is not Pattern, or "" when none.
std::string FirstWrongPixel(const TBytes& AData, int AWidth, int AHeight) {
  TScreenFrame frame;
  if (!Pondard::Screen::ParseScreenFrame(AData, frame)) return "frame does not parse";
  if (frame.Width != AWidth || frame.Height != AHeight) return "frame of another size";
  TBytes pixels(static_cast<size_t>(AWidth) * AHeight * 3);
  Pondard::Screen::DecodeScreenFrame(frame, pixels.data(), pixels.size());
  for (int y = 0; y < AHeight; ++y) {
    for (int x = 0; x < AWidth; ++x) {
      // Bottom row first, rows of exactly Width x 3 bytes, blue-green-red.
      const uint8_t* p = &pixels[(static_cast<size_t>(AHeight - 1 - y) * AWidth + x) * 3];
      const uint32_t rgb = uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
      if (rgb != Pattern(x, y)) {
        char what[96];
        std::snprintf(what, sizeof what, "(%d, %d) is %06x, drawn %06x", x, y, rgb, Pattern(x, y));
        return what;
      }
    }
  }
  return "";
}

struct TPictureCase {
  const char* Name;
  int Depth;
  bool Shm;
};

void PrintTo(const TPictureCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class CaptureXvfbTest : public testing::TestWithParam<TPictureCase> {};

// 1366 pixels make rows of 4098 bytes, not a multiple of four, and a last tile column 22 wide.
TEST_P(CaptureXvfbTest, PictureOnOddWidth_CapturedUnshearedBottomUp) {
  PondarTest::TXvfb xvfb(1366, 768, GetParam().Depth);
  if (!xvfb.Ok()) GTEST_SKIP() << xvfb.Why();
  PondarTest::TXClient client(xvfb.Display());
  ASSERT_TRUE(client.Ok());
  ASSERT_TRUE(client.FillRoot(1366, 768, Pattern));
  client.SetPrimaryOutput();
  std::string why;
  auto source = Pondard::Screen::OpenX11ScreenSource(xvfb.Display(), why, GetParam().Shm);
  ASSERT_TRUE(source) << why;
  TRig rig(std::move(source), 60'000);
  rig.Thread.Start();
  ASSERT_TRUE(rig.WaitFrames(1));
  EXPECT_EQ(Summary(rig.Frames.All()[0]), "K1366x768");
  EXPECT_EQ(FirstWrongPixel(rig.Frames.All()[0], 1366, 768), "");
  EXPECT_EQ(rig.Reports.All(), Strings{});
}

INSTANTIATE_TEST_SUITE_P(Xvfb, CaptureXvfbTest,
                         testing::Values(TPictureCase{"Depth24Shm", 24, true},
                                         TPictureCase{"Depth24GetImage", 24, false},
                                         TPictureCase{"Depth30TenBitChannels", 30, true}),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(CaptureXvfbTest, PrimaryOutputSwitchedOffAndScreenShrunk_KeyFrameOfNewSize) {
  PondarTest::TXvfb xvfb(1366, 768);
  if (!xvfb.Ok()) GTEST_SKIP() << xvfb.Why();
  PondarTest::TXClient client(xvfb.Display());
  ASSERT_TRUE(client.Ok());
  client.SetPrimaryOutput();
  std::string why;
  auto source = Pondard::Screen::OpenX11ScreenSource(xvfb.Display(), why);
  ASSERT_TRUE(source) << why;
  TRig rig(std::move(source), 10);
  rig.Thread.Start();
  ASSERT_TRUE(rig.WaitFrames(2));
  // Xvfb cannot grow its screen nor set other modes; it can take the CRTC away and shrink.
  ASSERT_TRUE(client.SwitchOffAndResize(800, 600));
  ASSERT_TRUE(PondarTest::WaitFor(
      [&] { return Summary(rig.Frames.All().back()).find("x600") != std::string::npos; }, 60s));
  rig.Thread.Terminate();
  rig.Thread.WaitFor();
  Strings sizes;  // the first frame of each size in turn, key or delta
  std::string last;
  for (const TBytes& frame : rig.Frames.All()) {
    TScreenFrame f;
    ASSERT_TRUE(Pondard::Screen::ParseScreenFrame(frame, f));
    const std::string size = std::to_string(f.Width) + "x" + std::to_string(f.Height);
    if (size != last) sizes.push_back((f.FrameType == Pondard::Screen::KeyFrame ? "K" : "D") + size);
    last = size;
  }
  EXPECT_EQ(sizes, (Strings{"K1366x768", "K800x600"}));
  EXPECT_EQ(rig.Reports.All(), Strings{});
}

TEST(CaptureXvfbTest, SixteenBitScreen_RefusedWithReason) {
  PondarTest::TXvfb xvfb(640, 480, 16);
  if (!xvfb.Ok()) GTEST_SKIP() << xvfb.Why();
  std::string why;
  EXPECT_EQ(Pondard::Screen::OpenX11ScreenSource(xvfb.Display(), why), nullptr);
  EXPECT_NE(why.find("16-bit colour (16 bits a pixel)"), std::string::npos) << why;
}

TEST(CaptureXvfbTest, NoDisplay_RefusedWithReason) {
  std::string why;
  EXPECT_EQ(Pondard::Screen::OpenX11ScreenSource(":4095", why), nullptr);
  EXPECT_EQ(why, "cannot open the X display \":4095\"");
}

}  // namespace
