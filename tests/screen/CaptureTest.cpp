// The capture thread against a scripted screen (key frames, failures, stopping), and the X11
// source against a real X server under Xvfb (picture layout, resolution changes, colour depths).
#include <gtest/gtest.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
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
    {"UnchangedScreen_KeyThen24EmptyDeltasThenKey", [](int) { return TShot{}; },
     Then(KSteady, "D0"), {}},
    {"SizeChange_KeyOfNewSizeAndCountRestarts",
     [](int ACapture) { return ACapture < 3 ? TShot{} : TShot{.Width = 200, .Height = 100}; },
     Then(Then({"K128x64", "D0", "D0", "K200x100"}, "D0", 24), "K200x100"), {}},
    // The junk of the failed copies never travels, and the picture from before them stays the
    // reference: the first frame after them carries just the two tiles that really changed.
    {"CopyFails_NoFrameAndLastFrameStaysReference",
     [](int ACapture) {
       return TShot{.Copied = ACapture < 1 || ACapture > 2, .Picture = uint8_t(ACapture ? 2 : 1)};
     },
     Then(Then({"K128x64", "D2"}, "D0", 23), "K128x64"), {}},
    {"SizeUnknown_NoFrame",
     [](int ACapture) {
       return ACapture == 1 ? TShot{.Known = false} : ACapture == 2 ? TShot{.Width = 0} : TShot{};
     },
     KSteady, {}},
    {"Exception_ReportedOnceUntilAFrameIsMade",
     [](int ACapture) {
       return TShot{.Throws = ACapture == 1 || ACapture == 2 || ACapture == 5 ? "display gone"
                                                                               : nullptr};
     },
     KSteady, {"Screen capture: display gone", "Screen capture: display gone"}},
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

// The test's own X client: draws a picture onto the root window and changes the screen size.
class TXClient {
 public:
  explicit TXClient(const std::string& ADisplay) : FConn(xcb_connect(ADisplay.c_str(), nullptr)) {
    FScreen = xcb_setup_roots_iterator(xcb_get_setup(FConn)).data;
  }
  ~TXClient() { xcb_disconnect(FConn); }
  bool Ok() const { return !xcb_connection_has_error(FConn); }

  // Fills the root window with ACOLOR(x, y) = 0xRRGGBB, turned into the root visual's pixels.
  void Draw(int AWidth, int AHeight, const std::function<uint32_t(int, int)>& AColor) {
    const xcb_visualtype_t* visual = RootVisual();
    ASSERT_TRUE(visual);
    ASSERT_EQ(xcb_get_setup(FConn)->image_byte_order, XCB_IMAGE_ORDER_LSB_FIRST);
    const xcb_gcontext_t gc = xcb_generate_id(FConn);
    xcb_create_gc(FConn, gc, FScreen->root, 0, nullptr);
    constexpr int KRows = 64;  // a strip per request, well inside the request size limit
    std::vector<uint32_t> strip(static_cast<size_t>(AWidth) * KRows);
    for (int y0 = 0; y0 < AHeight; y0 += KRows) {
      const int rows = std::min(KRows, AHeight - y0);
      for (int y = 0; y < rows; ++y)
        for (int x = 0; x < AWidth; ++x)
          strip[static_cast<size_t>(y) * AWidth + x] = Pixel(visual, AColor(x, y0 + y));
      xcb_put_image(FConn, XCB_IMAGE_FORMAT_Z_PIXMAP, FScreen->root, gc, AWidth, rows, 0, y0, 0,
                    FScreen->root_depth, rows * AWidth * 4, reinterpret_cast<uint8_t*>(strip.data()));
    }
    xcb_free_gc(FConn, gc);
    Sync();
  }

  // Makes the only output the primary one, or switches it off and shrinks the screen: what is
  // captured then is the root window.
  void SetPrimary() {
    auto res = Resources();
    xcb_randr_set_output_primary(FConn, FScreen->root,
                                 xcb_randr_get_screen_resources_current_outputs(res.get())[0]);
    Sync();
  }
  void SwitchOffAndResize(int AWidth, int AHeight) {
    auto res = Resources();
    std::free(xcb_randr_set_crtc_config_reply(
        FConn,
        xcb_randr_set_crtc_config(FConn, xcb_randr_get_screen_resources_current_crtcs(res.get())[0],
                                  XCB_CURRENT_TIME, res->config_timestamp, 0, 0, XCB_NONE,
                                  XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
        nullptr));
    xcb_generic_error_t* error = xcb_request_check(
        FConn, xcb_randr_set_screen_size_checked(FConn, FScreen->root, AWidth, AHeight, 300, 200));
    EXPECT_EQ(error, nullptr) << "RandR refused the size";
    std::free(error);
  }

 private:
  using TResources = std::unique_ptr<xcb_randr_get_screen_resources_current_reply_t,
                                     decltype(&std::free)>;
  TResources Resources() {
    return TResources(xcb_randr_get_screen_resources_current_reply(
                          FConn, xcb_randr_get_screen_resources_current(FConn, FScreen->root),
                          nullptr),
                      &std::free);
  }
  const xcb_visualtype_t* RootVisual() const {
    for (auto d = xcb_screen_allowed_depths_iterator(FScreen); d.rem; xcb_depth_next(&d))
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
        if (v.data->visual_id == FScreen->root_visual) return v.data;
    return nullptr;
  }
  // The 8-bit channel widened to the mask's bits by repeating its top bits, as servers do.
  static uint32_t Pixel(const xcb_visualtype_t* AVisual, uint32_t ARgb) {
    uint32_t pixel = 0;
    const uint32_t masks[3] = {AVisual->red_mask, AVisual->green_mask, AVisual->blue_mask};
    for (int c = 0; c < 3; ++c) {
      const uint32_t value8 = (ARgb >> (16 - 8 * c)) & 0xff;
      const int bits = std::popcount(masks[c]);
      const uint32_t wide = bits >= 8 ? value8 << (bits - 8) | value8 >> (16 - bits) : value8 >> (8 - bits);
      pixel |= wide << std::countr_zero(masks[c]);
    }
    return pixel;
  }
  void Sync() { std::free(xcb_get_input_focus_reply(FConn, xcb_get_input_focus(FConn), nullptr)); }

  xcb_connection_t* FConn;
  xcb_screen_t* FScreen = nullptr;
};

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
  TXClient client(xvfb.Display());
  ASSERT_TRUE(client.Ok());
  client.Draw(1366, 768, Pattern);
  client.SetPrimary();
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
  TXClient client(xvfb.Display());
  ASSERT_TRUE(client.Ok());
  client.SetPrimary();
  std::string why;
  auto source = Pondard::Screen::OpenX11ScreenSource(xvfb.Display(), why);
  ASSERT_TRUE(source) << why;
  TRig rig(std::move(source), 10);
  rig.Thread.Start();
  ASSERT_TRUE(rig.WaitFrames(2));
  // Xvfb cannot grow its screen nor set other modes; it can take the CRTC away and shrink.
  client.SwitchOffAndResize(800, 600);
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
