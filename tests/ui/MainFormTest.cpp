// The main window under Qt's offscreen platform, with a real engine (loopback only) behind it.
#include "ui/MainForm.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include <fstream>
#include <string>
#include <vector>

#include "core/Captions.h"
#include "screen/Protocol.h"
#include "support/Announce.h"
#include "support/Bytes.h"
#include "support/EnvVar.h"
#include "support/RawSockets.h"
#include "support/ServedFolder.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

namespace {

using namespace Pondard::UI;
using Pondard::Core::TPondardConfig;
using Pondard::Core::TSound;
using PondarTest::TSandbox;
using PondarTest::WaitFor;

class MainFormTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "MainFormTest";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
  }
  void SetUp() override {
    if (!PondarTest::InIsolatedNetwork())
      GTEST_SKIP() << "REFUSED: the engine broadcasts; run the tests in a network namespace of "
                      "their own (scripts/test.sh does)";
    AppData.Set(SettingsDir.Str());
    Config.Name = "local";
    Config.Folder = Folder.Str();
    Config.UdpPort = PondarTest::FreePort(SOCK_DGRAM);
    Config.TcpPort = PondarTest::FreePort(SOCK_STREAM);
  }
  void TearDown() override {
    Form.reset();
    Pump();
  }
  void Create() {
    TMainFormDesktop desktop;
    desktop.ShowError = [this](QWidget*, const QString& AText) { Errors.push_back(AText); };
    desktop.PlaySound = [](TSound) {};
    Form = std::make_unique<TMainForm>(Config, desktop);
  }
  // Runs what workers posted to this (the Qt) thread, as its event loop would.
  static void Pump() { QCoreApplication::processEvents(); }
  QStringList LogLines() const { return Form->memoLog->toPlainText().split('\n'); }
  // Waits for a log line that ends with AMessage (engine lines begin with their time).
  bool WaitForMessage(const char* AMessage) {
    return WaitFor([&] {
      Pump();
      for (const auto& line : LogLines())
        if (line.endsWith(QString::fromUtf8(AMessage))) return true;
      return false;
    });
  }
  // Shows the window on the given page and waits until Qt has painted it once.
  void ShowOn(QWidget* APage) {
    Form->Pages->setCurrentWidget(APage);
    Form->show();
    ASSERT_TRUE(WaitFor([&] {
      Pump();
      return Form->isVisible() && APage->isVisible();
    }));
  }

  PondarTest::TEnvVar AppData{"APPDATA"};
  TSandbox SettingsDir;
  TSandbox Folder;
  TPondardConfig Config;
  std::vector<QString> Errors;
  std::unique_ptr<TMainForm> Form;
};

// A key frame of AWidth x AHeight in one colour (blue, green, red).
Pondar::Core::TBytes SolidFrame(int AWidth, int AHeight, uint8_t AB, uint8_t AG, uint8_t AR) {
  Pondar::Core::TBytes pixels;
  for (int i = 0; i < AWidth * AHeight; ++i) pixels += PondarTest::B({AB, AG, AR});
  return Pondard::Screen::EncodeScreenFrame(static_cast<uint16_t>(AWidth),
                                            static_cast<uint16_t>(AHeight), pixels.data(), nullptr,
                                            Pondard::Screen::KeyFrame);
}

Pondar::Core::TPeerInfoDynArray Peers(const std::vector<std::string>& ANames) {
  Pondar::Core::TPeerInfoDynArray peers;
  for (const auto& name : ANames) peers.push_back({name, "127.0.0.1", 1, 0, 0.0});
  return peers;
}

// Calls AOnShow whenever the watched widget is shown.
class TShowWatch final : public QObject {
 public:
  explicit TShowWatch(std::function<void()> AOnShow) : FOnShow(std::move(AOnShow)) {}
  bool eventFilter(QObject*, QEvent* AEvent) override {
    if (AEvent->type() == QEvent::Show) FOnShow();
    return false;
  }

 private:
  std::function<void()> FOnShow;
};

}  // namespace

TEST_F(MainFormTest, Create_ReceiveOnlyShowsScreenSharingOn_ScreenBoxGatesItsSubBoxesBothWays) {
  Config.ScreenReceive = true;
  Create();
  EXPECT_EQ(Form->windowTitle(), "Pondar Desktop");
  EXPECT_EQ(Form->Pages->currentWidget(), Form->TabSettings);
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_TRUE(Form->chkScreen->isChecked());
  EXPECT_TRUE(Form->chkScreenReceive->isChecked());
  EXPECT_FALSE(Form->chkScreenBroadcast->isChecked());
  EXPECT_TRUE(Form->chkScreenBroadcast->isEnabled());
  EXPECT_TRUE(Form->chkScreenReceive->isEnabled());

  Form->chkScreen->click();  // off: both unchecked and disabled
  EXPECT_FALSE(Form->chkScreenReceive->isChecked());
  EXPECT_FALSE(Form->chkScreenBroadcast->isEnabled());
  EXPECT_FALSE(Form->chkScreenReceive->isEnabled());
  Form->chkScreen->click();  // on again: enabled, still unchecked
  EXPECT_TRUE(Form->chkScreenBroadcast->isEnabled());
  EXPECT_TRUE(Form->chkScreenReceive->isEnabled());
  EXPECT_FALSE(Form->chkScreenBroadcast->isChecked());
  EXPECT_FALSE(Form->chkScreenReceive->isChecked());
}

TEST_F(MainFormTest, Apply_PortsNotAnIntegerOrBeyond16Bits_SavedAndRestartedWithTheLineLast) {
  Create();
  Form->edtUdpPort->setText("abc");
  Form->edtTcpPort->setText("65536");
  Form->edtName->setText(" new name ");  // not trimmed, not checked here
  Form->btnApply->click();
  const TPondardConfig& applied = Form->App()->Config();
  EXPECT_EQ(applied.UdpPort, 7731);
  EXPECT_EQ(applied.TcpPort, 0);
  EXPECT_EQ(applied.Name, " new name ");
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_TRUE(Errors.empty());
  // Without the time stamp of engine lines, after the restart's own lines.
  const QStringList lines = LogLines();
  EXPECT_EQ(lines.back(), "Settings applied, engine restarted.");
  EXPECT_EQ(lines.filter(QString::fromUtf8("] \u25B6 Ready")).size(), 2);
  TPondardConfig saved;
  saved.LoadFromIni();
  EXPECT_EQ(saved.UdpPort, 7731);
  EXPECT_EQ(saved.TcpPort, 0);
}

TEST_F(MainFormTest, Apply_SettingsFileCannotBeWritten_ErrorShownAndSaidButThePeerRunsOnWithThem) {
  // A file where the settings folder would have to be made.
  std::ofstream(SettingsDir.Path() / "Pondar") << "in the way";
  Create();
  Form->edtName->setText("renamed");
  Form->btnApply->click();
  const QString expected =
      QString::fromStdString("Unable to write to " + Pondard::Core::ConfigFilePath());
  ASSERT_EQ(Errors, std::vector<QString>{expected});
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_EQ(Form->App()->Config().Name, "renamed");
  const QStringList lines = LogLines();
  EXPECT_TRUE(lines.contains("Settings applied, engine restarted."));
  EXPECT_TRUE(lines.back().endsWith(QString::fromUtf8("\u26A0 Settings not saved: ") + expected))
      << lines.back().toStdString();
}

TEST_F(MainFormTest, PeersJustSynced_LargeFileShownUnderTheLog_ApplyRestartsAndServesAtOnce) {
  PondarTest::TServedFolder peer;
  peer.Put("notes.txt", "small", 1700000000);
  peer.Put("big.bin", std::string(1 << 20, 'x'), 1700000000);
  const uint16_t peerPort = peer.Start();
  Create();
  std::vector<std::pair<QString, int>> shown;  // the strip's file name and bar when it appears
  TShowWatch watch([&] { shown.emplace_back(Form->lblTransfer->text(), Form->pbTransfer->value()); });
  Form->pnlTransfer->installEventFilter(&watch);
  ShowOn(Form->TabLog);

  ASSERT_TRUE(WaitFor([&] {
    PondarTest::Announce(Config.UdpPort, "remote", peerPort, Pondar::Core::CurrentUtcTime());
    Pump();
    return !Form->App()->GetPeers().empty();
  }));
  ASSERT_TRUE(WaitForMessage("] \u2713 2 received, 0 sent"));
  EXPECT_EQ(Folder.Read("big.bin").size(), 1u << 20);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front().first, "big.bin");
  EXPECT_LT(shown.front().second, 1000);
  EXPECT_FALSE(Form->pnlTransfer->isVisible());  // gone with the last byte

  Form->TimerStatusTimer();
  EXPECT_EQ(Form->cboPeers->currentText(), "remote");

  // The peer's list request left the server's port in TIME_WAIT; the restart binds it anyway.
  Form->btnApply->click();
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_EQ(LogLines().back(), "Settings applied, engine restarted.");
  ASSERT_TRUE(WaitFor([&] { return Form->App()->ServerPort() == Config.TcpPort; }));
  EXPECT_GT(PondarTest::Ask(Config.TcpPort, PondarTest::B({0x01})).Bytes.size(), 8u);
}

TEST_F(MainFormTest, HandleAppLog_5001stLineKeptThe5002ndTrimsTo4500ThenAppends) {
  Create();
  Form->memoLog->clear();
  for (int i = 1; i <= 5001; ++i) Form->HandleAppLog("line " + std::to_string(i));
  EXPECT_EQ(Form->LogLineCount(), 5001);
  Form->HandleAppLog("line 5002");
  EXPECT_EQ(Form->LogLineCount(), 4501);
  EXPECT_EQ(LogLines().front(), "line 502");
  EXPECT_EQ(LogLines().back(), "line 5002");
}

TEST_F(MainFormTest, ShowPeers_ShownPeerKeptWhileListedElseTheFirst) {
  Create();
  const struct {
    std::vector<std::string> Names;
    QString Choose;  // chosen by the user before the next list; empty: nothing chosen
    QString Shown;
  } steps[] = {
      {{"A", "B"}, "B", "B"},
      {{"C", "B"}, "", "B"},
      {{"C", "D"}, "", "C"},
      {{"D", "c"}, "", "D"},  // names compare with case: "C" is gone
      {{}, "", ""},
  };
  for (const auto& step : steps) {
    Form->ShowPeers(Peers(step.Names));
    if (!step.Choose.isEmpty()) Form->cboPeers->setCurrentText(step.Choose);
    EXPECT_EQ(Form->cboPeers->currentText(), step.Shown);
    EXPECT_EQ(Form->cboPeers->count(), static_cast<int>(step.Names.size()));
  }
  EXPECT_EQ(Form->cboPeers->currentIndex(), -1);
}

TEST_F(MainFormTest, ScreenPage_PlaceholdersOnBlack_FrameRepaintsOnlyForTheShownPeer) {
  Create();
  ShowOn(Form->TabScreen);
  EXPECT_EQ(Form->ScreenPlaceholder(), "No peers connected");
  // Grey text on black, nothing brighter.
  const QImage empty = Form->pbScreen->grab().toImage();
  int grey = 0;
  for (int y = 0; y < empty.height(); ++y) {
    for (int x = 0; x < empty.width(); ++x) {
      const QColor c = empty.pixelColor(x, y);
      ASSERT_TRUE(c.red() == c.green() && c.green() == c.blue() && c.red() <= 128) << x << "," << y;
      grey += c.red() == 128;
    }
  }
  EXPECT_GT(grey, 20);

  Form->ShowPeers(Peers({"A", "B"}));
  Form->cboPeers->setCurrentText("B");
  EXPECT_EQ(Form->ScreenPlaceholder(), "No screen data from B");

  int paints = 0;
  const auto paint = Form->pbScreen->OnPaint;
  Form->pbScreen->OnPaint = [&](QPainter& ACanvas) {
    ++paints;
    paint(ACanvas);
  };
  Pump();
  paints = 0;
  Form->HandleScreenFrame("A", SolidFrame(64, 48, 0, 0, 255));
  Pump();
  EXPECT_EQ(paints, 0);
  EXPECT_EQ(Form->ScreenPlaceholder(), "No screen data from B");
  Form->HandleScreenFrame("B", SolidFrame(64, 48, 255, 0, 0));
  ASSERT_TRUE(WaitFor([&] {
    Pump();
    return paints > 0;
  }));
  EXPECT_EQ(Form->ScreenPlaceholder(), "");
  const QImage picture = Form->pbScreen->grab().toImage();
  EXPECT_EQ(picture.pixelColor(picture.width() / 2, picture.height() / 2), QColor(0, 0, 255));

  // A's picture is kept after A has gone, and shown when A is chosen.
  Form->ShowPeers(Peers({"A"}));
  const QImage kept = Form->pbScreen->grab().toImage();
  EXPECT_EQ(kept.pixelColor(kept.width() / 2, kept.height() / 2), QColor(255, 0, 0));
}

// The settings read the arguments as the process received them, before Qt took "--name" (which
// it knows as its own -name) out of the list; SIGTERM closes the window and the peer gracefully.
TEST_F(MainFormTest, Program_WithADisplay_OpensTheWindowWithTheNameGiven) {
  PondarTest::TXvfb x;
  if (!x.Ok()) GTEST_SKIP() << x.Why();
  if (!PondarTest::HaveProgram("xdotool")) GTEST_SKIP() << "xdotool is not installed";
  // The desktop's D-Bus library, which Qt loads for a real display, keeps a buffer to the end
  // that LeakSanitizer would report; the program's own leaks are still reported.
  const std::string leaks = (SettingsDir.Path() / "lsan.supp").string();
  std::ofstream(leaks) << "leak:libdbus-1.so\n";
  const std::string script =
      "env -u QT_QPA_PLATFORM LSAN_OPTIONS=suppressions=" + leaks + " \"$@\" & pid=$!\n"
      "until xdotool search --name '^Pondar Desktop$' >/dev/null; do\n"
      "  kill -0 $pid || exit 3; sleep 0.1\n"
      "done\n"
      "kill -TERM $pid; wait $pid\n";
  const auto run = PondarTest::RunOnDisplay(
      x.Display(), {"sh", "-c", script, "sh", PONDARD_EXE, "--name", "wren", "--folder",
                    Folder.Str(), "--udp-port", std::to_string(Config.UdpPort), "--tcp-port",
                    std::to_string(Config.TcpPort)});
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_NE(run.Err.find("pondard: wren sharing " + Folder.Str()), std::string::npos) << run.Err;
  EXPECT_EQ(run.Out, "");  // the log went to the window
}
