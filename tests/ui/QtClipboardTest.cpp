#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <chrono>
#include <thread>

#include "support/OffscreenQt.h"
#include "support/TestSupport.h"
#include "ui/QtClipboard.h"

using Pondar::Clipboard::TClipboardContent;
using Pondard::UI::TQtClipboard;
using namespace std::chrono_literals;

namespace {

class QtClipboardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PondarTest::StartOffscreenQt<QGuiApplication>(); }
  static QClipboard& Desktop() { return *QGuiApplication::clipboard(); }
  // Runs what was posted to this (the Qt) thread, as its event loop would.
  static void Pump() { QCoreApplication::processEvents(); }
};

// Qt keeps text as UTF-16: what the desktop holds after a write is read back, marked with the
// text written, which bytes that are no UTF-8 do not survive.
TEST_F(QtClipboardTest, WritesArePostedAndReadBackMarkedAsOurs) {
  const std::string emoji = "\xF0\x9F\x98\x80 \xF0\x9D\x84\x9E caf\xC3\xA9";  // 😀 𝄞 café
  std::string replaced;
  for (int i = 0; i < 1000; ++i) replaced += "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    std::string Written, ReadBack;
    int Utf16Units;
  } cases[] = {{emoji, emoji, 10},  // two surrogate pairs
               {std::string(1000, '\xFF'), replaced, 1000},
               {std::string("before\0after", 12), std::string("before\0after", 12), 12}};
  for (const auto& c : cases) {
    TQtClipboard clipboard;
    const uint32_t before = clipboard.SequenceNumber();
    ASSERT_TRUE(clipboard.TryWriteText(c.Written));
    EXPECT_EQ(clipboard.SequenceNumber(), before);  // nothing happens until the Qt thread runs it
    Pump();
    EXPECT_NE(clipboard.SequenceNumber(), before);
    EXPECT_EQ(Desktop().text().size(), c.Utf16Units);
    EXPECT_EQ(clipboard.TryRead(), (TClipboardContent{c.ReadBack, c.Written}));
  }
}

TEST_F(QtClipboardTest, OtherProgramsChanges_CountedAndReadAsText_PictureAsNoText) {
  TQtClipboard clipboard;
  ASSERT_TRUE(clipboard.TryWriteText("\xFF"));
  Pump();
  // Told once more of the same content, as X11 may tell of a write of ours: still ours.
  Q_EMIT Desktop().dataChanged();
  EXPECT_EQ(clipboard.TryRead(), (TClipboardContent{"\xEF\xBF\xBD", "\xFF"}));
  const uint32_t before = clipboard.SequenceNumber();
  Desktop().setText("from another program");
  Pump();
  EXPECT_NE(clipboard.SequenceNumber(), before);
  EXPECT_EQ(clipboard.TryRead(), (TClipboardContent{"from another program", std::nullopt}));

  QImage picture(4, 4, QImage::Format_RGB32);
  picture.fill(Qt::red);
  Desktop().setImage(picture);
  Pump();
  EXPECT_EQ(clipboard.TryRead(), TClipboardContent{});
}

TEST_F(QtClipboardTest, BlockedQtThread_WorkersNeitherWaitNorHangAStop) {
  auto clipboard = std::make_shared<TQtClipboard>();
  auto watcher = std::make_unique<Pondar::Clipboard::TClipboardWatcher>(clipboard, nullptr);
  std::chrono::steady_clock::duration writeTook{}, stopTook{};
  std::thread worker([&] {
    auto at = std::chrono::steady_clock::now();
    EXPECT_TRUE(Pondar::Clipboard::WriteClipboardText(*clipboard, "from a peer"));
    EXPECT_EQ(clipboard->TryRead(), TClipboardContent{});
    writeTook = std::chrono::steady_clock::now() - at;
    std::this_thread::sleep_for(300ms);  // the watcher is in its polls
    at = std::chrono::steady_clock::now();
    watcher.reset();
    stopTook = std::chrono::steady_clock::now() - at;
  });
  // The Qt thread is busy for far longer than a stop may take.
  std::this_thread::sleep_for(2s);
  worker.join();
  EXPECT_LT(writeTook, 500ms);
  // Normally within one 200 ms poll; five times that.
  EXPECT_LT(stopTook, 1s);
  Pump();
  EXPECT_EQ(Desktop().text(), "from a peer");
}

}  // namespace
