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

TEST_F(QtClipboardTest, WritesArePostedAndReadBackMarkedAsOurs_TextOutsideTheBmpIntact) {
  TQtClipboard clipboard;
  const std::string text = "\xF0\x9F\x98\x80 \xF0\x9D\x84\x9E caf\xC3\xA9";  // 😀 𝄞 café
  const uint32_t before = clipboard.SequenceNumber();
  ASSERT_TRUE(clipboard.TryWriteText(text));
  EXPECT_EQ(clipboard.SequenceNumber(), before);  // nothing happens until the Qt thread runs it
  Pump();
  EXPECT_NE(clipboard.SequenceNumber(), before);
  // Two surrogate pairs on the desktop's side.
  EXPECT_EQ(Desktop().text(), QString::fromUtf8(text.c_str()));
  EXPECT_EQ(Desktop().text().size(), 10);
  EXPECT_EQ(clipboard.TryRead(), (TClipboardContent{text, text}));
  // Qt keeps UTF-16: bytes that are no UTF-8 come back as U+FFFD, still marked as our write
  // when told of once more, as X11 may.
  ASSERT_TRUE(clipboard.TryWriteText("\xFF\xFF"));
  Pump();
  Q_EMIT Desktop().dataChanged();
  EXPECT_EQ(clipboard.TryRead(), (TClipboardContent{"\xEF\xBF\xBD\xEF\xBF\xBD", "\xFF\xFF"}));
}

TEST_F(QtClipboardTest, OtherProgramsChanges_CountedAndReadAsText_PictureAsNoText) {
  TQtClipboard clipboard;
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
