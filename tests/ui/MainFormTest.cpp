// The main window under Qt's offscreen platform, with a real engine (loopback only) behind it.
#include "ui/MainForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "net/NetworkKey.h"
#include "screen/Protocol.h"
#include "screen/Viewer.h"
#include "support/Announce.h"
#include "support/Bytes.h"
#include "support/EnvVar.h"
#include "support/RawSockets.h"
#include "support/ServedFolder.h"
#include "support/OffscreenQt.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

// Qt and GLib are not built for ThreadSanitizer: their own synchronisation (futexes in
// QMutex, the thread pool that converts and scales pictures, the lock of the posted-event
// queue) is invisible to it. So what Qt's threads touch looks raced, and so does every delivery
// a worker posts to the Qt thread (a std::function run by Qt's functor slot object) against
// what was written before posting it. Those are left out; other races in our code are not.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\ncalled_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\ncalled_from_lib:libglib-2.0.so.0\n"
         "race:QtPrivate::QFunctorSlotObject<std::function<void ()>\n";
}
#endif

namespace {

using namespace Pondard::UI;
using Pondard::App::TPondardConfig;
using PondarTest::TSandbox;
using PondarTest::WaitFor;

class MainFormTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PondarTest::StartOffscreenQt<QApplication>(); }
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
    Form = std::make_unique<TMainForm>(
        Config, TMainFormDesktop{[this](QWidget*, const QString& AText) { Errors.push_back(AText); },
                                 [](Pondard::App::TSound) {}});
  }
  // Runs what workers posted to this (the Qt) thread, as its event loop would.
  static void Pump() { QCoreApplication::processEvents(); }
  QStringList LogLines() const { return Form->memoLog->toPlainText().split('\n'); }
  // Each of Screen sharing, Broadcast, Receive: X checked, - not; lower case (x .) disabled.
  std::string Boxes() const {
    std::string out;
    for (const QCheckBox* box : {Form->chkScreen, Form->chkScreenBroadcast, Form->chkScreenReceive})
      out += box->isEnabled() ? (box->isChecked() ? 'X' : '-') : (box->isChecked() ? 'x' : '.');
    return out;
  }
  QColor Centre() const {
    const QImage shot = Form->pbScreen->grab().toImage();
    return shot.pixelColor(shot.width() / 2, shot.height() / 2);
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

// A picture of AWidth x AHeight in one colour (blue, green, red), as the engine decodes one.
Pondard::Screen::TScreenPicture SolidPicture(int AWidth, int AHeight, uint8_t AB, uint8_t AG,
                                             uint8_t AR) {
  Pondar::Core::TBytes pixels;
  for (int i = 0; i < AWidth * AHeight; ++i) pixels += PondarTest::B({AB, AG, AR});
  Pondard::Screen::TScreenViewer viewer;
  EXPECT_TRUE(viewer.ApplyFrame(Pondard::Screen::EncodeScreenFrame(
      static_cast<uint16_t>(AWidth), static_cast<uint16_t>(AHeight), pixels.data(), nullptr,
      Pondard::Screen::KeyFrame)));
  return viewer.Picture();
}

Pondar::Core::TPeerInfoDynArray Peers(const std::vector<std::string>& ANames) {
  Pondar::Core::TPeerInfoDynArray peers;
  for (const auto& name : ANames) peers.push_back({name, "127.0.0.1", 1, 0, 0.0});
  return peers;
}

// Calls AOnShow whenever the watched widget is shown.
struct TShowWatch final : QObject {
  explicit TShowWatch(std::function<void()> AOnShow) : OnShow(std::move(AOnShow)) {}
  bool eventFilter(QObject*, QEvent* AEvent) override {
    if (AEvent->type() == QEvent::Show) OnShow();
    return false;
  }
  std::function<void()> OnShow;
};

}  // namespace

TEST_F(MainFormTest, Apply_SettingsFileCannotBeWritten_ErrorShownAndSaidButThePeerRunsOnWithThem) {
  // A file where the settings folder would have to be made.
  std::ofstream(SettingsDir.Path() / "Pondar") << "in the way";
  Create();
  Form->edtName->setText("renamed");
  Form->btnApply->click();
  const QString expected =
      QString::fromStdString("Unable to write to " + Pondard::App::ConfigFilePath());
  ASSERT_EQ(Errors, std::vector<QString>{expected});
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_EQ(Form->App()->Config().Name, "renamed");
  EXPECT_TRUE(LogLines().contains("Settings applied, engine restarted."));
  EXPECT_TRUE(LogLines().back().endsWith(QString::fromUtf8("\u26A0 Settings not saved: ") + expected))
      << LogLines().back().toStdString();
}

// Peers write into the shared folder and delete from it. Clearing the field once shared "/":
// now Apply takes only an existing folder named from "/" on, and not "/" itself; anything else
// is refused in an error box, and nothing is applied.
TEST_F(MainFormTest, Apply_FolderThatCannotBeShared_RefusedWithAMessage_LastFolderKept) {
  Folder.Write("file.txt", "x");
  Create();
  const QString folder = QString::fromStdString(Folder.Str());
  const struct {
    QString Typed, Refusal;
  } cases[] = {
      {"", "No folder to share: the Folder field is empty."},
      {"share", "\"share\" is no full path: name the folder from \"/\" on."},
      {folder + "/gone", "There is no folder \"" + folder + "/gone\"."},
      {folder + "/file.txt", "\"" + folder + "/file.txt\" is a file, not a folder."},
      {"/", "\"/\" is the whole file system: share a folder made for the purpose."},
      {"/tmp/..", "\"/tmp/..\" is the whole file system: share a folder made for the purpose."},
  };
  Form->edtName->setText("renamed");
  for (const auto& c : cases) {
    Errors.clear();
    Form->edtFolder->setText(c.Typed);
    Form->btnApply->click();
    EXPECT_EQ(Errors, std::vector<QString>{c.Refusal + "\n\nNothing was applied: " + folder +
                                           " is still shared."});
    EXPECT_EQ(Form->App()->Config().Folder + Form->App()->Config().Name, Folder.Str() + "local");
  }
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_FALSE(LogLines().contains("Settings applied, engine restarted."));
  EXPECT_FALSE(std::filesystem::exists(Pondard::App::ConfigFilePath()));
}

// The network key's field sits in space the page had free, masked until asked; a key that
// cannot be used is refused before anything stops, a good one restarts the engine keyed and is
// saved in a file that only its owner may read.
TEST_F(MainFormTest, NetworkKey_MaskedInFreeSpace_UnusableRefused_GoodOneAppliedAndSavedPrivately) {
  Create();
  ShowOn(Form->TabSettings);
  const QList<QWidget*> keyControls = {Form->lblNetworkKey, Form->edtNetworkKey, Form->chkShowKey,
                                       Form->lblNetworkKeyHint};
  for (const QWidget* mine : keyControls) {
    EXPECT_TRUE(Form->TabSettings->rect().contains(mine->geometry()))
        << mine->metaObject()->className();
    for (const QWidget* other : Form->TabSettings->findChildren<QWidget*>(
             Qt::FindDirectChildrenOnly)) {
      if (!keyControls.contains(other)) {
        EXPECT_FALSE(mine->geometry().intersects(other->geometry()))
            << mine->metaObject()->className() << " over " << other->metaObject()->className();
      }
    }
  }
  EXPECT_EQ(Form->edtNetworkKey->echoMode(), QLineEdit::Password);
  Form->chkShowKey->click();
  EXPECT_EQ(Form->edtNetworkKey->echoMode(), QLineEdit::Normal);
  Form->chkShowKey->click();
  EXPECT_EQ(Form->edtNetworkKey->echoMode(), QLineEdit::Password);

  const std::string key = Pondar::Net::NewNetworkKey();
  const struct {
    std::string Typed;
    QString Error;  // empty: applied
  } cases[] = {
      {"short", "The network key is shorter than 8 characters: use pondard --new-key for a strong "
                "one.\n\nNothing was applied."},
      {key.substr(0, key.size() - 1) + (key.back() == 'A' ? "B" : "A"),
       "The network key looks like a generated key with a typing error (its check does not "
       "match): copy it again.\n\nNothing was applied."},
      {" " + key + " ", ""},
  };
  for (const auto& c : cases) {
    Errors.clear();
    Form->edtNetworkKey->setText(QString::fromStdString(c.Typed));
    Form->btnApply->click();
    EXPECT_EQ(Errors, c.Error.isEmpty() ? std::vector<QString>{} : std::vector<QString>{c.Error})
        << c.Typed;
    EXPECT_EQ(Form->App()->Config().NetworkKey, c.Error.isEmpty() ? key : "") << c.Typed;
  }
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_TRUE(WaitFor([&] {
    Pump();
    return Form->memoLog->toPlainText().contains("Network key on: only peers with the same key");
  }));
  struct stat st {};
  ASSERT_EQ(::stat(Pondard::App::ConfigFilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  if (const char* shot = std::getenv("PONDAR_SCREENSHOT"); shot && *shot) {
    Form->edtNetworkKey->clear();
    Form->grab().save(QString::fromUtf8(shot));
  }
}

TEST_F(MainFormTest, PeersJustSynced_LargeFileShownUnderTheLog_ApplyTakesPortsAndRestartsAtOnce) {
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
  ASSERT_TRUE(WaitFor([&] {
    Pump();
    return !LogLines().filter(QString::fromUtf8("] \u2713 2 received, 0 sent")).empty();
  }));
  EXPECT_EQ(Folder.Read("big.bin").size(), 1u << 20);
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front().first, "big.bin");
  EXPECT_LT(shown.front().second, 1000);
  EXPECT_FALSE(Form->pnlTransfer->isVisible());  // gone with the last byte

  Form->TimerStatusTimer();
  EXPECT_EQ(Form->cboPeers->currentText(), "remote");

  // The peer's list request left the server's port in TIME_WAIT; the restart binds it anyway.
  // Ports: no integer gives the default, and only the low 16 bits count.
  Form->edtUdpPort->setText("abc");
  Form->edtTcpPort->setText(QString::number(65536 + Config.TcpPort));
  Form->edtName->setText(" new name ");  // not trimmed, not checked here
  Form->btnApply->click();
  TPondardConfig saved;
  saved.LoadFromIni();
  for (const TPondardConfig& config : {Form->App()->Config(), saved}) {
    EXPECT_EQ(config.UdpPort, 7731);
    EXPECT_EQ(config.TcpPort, Config.TcpPort);
  }
  EXPECT_EQ(Form->App()->Config().Name, " new name ");
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_TRUE(Errors.empty());
  // Without the time stamp of engine lines, after the restart's own lines.
  EXPECT_EQ(LogLines().back(), "Settings applied, engine restarted.");
  // The restart's scan runs on the engine's thread, the window going on meanwhile: its count and
  // Ready follow.
  EXPECT_TRUE(WaitFor([&] {
    Pump();
    return LogLines().filter(QString::fromUtf8("] \u25B6 Ready")).size() == 2;
  }));
  ASSERT_TRUE(WaitFor([&] { return Form->App()->ServerPort() == Config.TcpPort; }));
  EXPECT_GT(PondarTest::Ask(Config.TcpPort, PondarTest::B({0x01})).Bytes.size(), 8u);
}

// A new window: receiving alone shows screen sharing on, and its box gates the two below it;
// the peers' list keeps the peer shown while it is listed; the 5002nd log line trims to 4500.
TEST_F(MainFormTest, Create_ScreenBoxGatesItsSubBoxes_ShownPeerKeptWhileListed_LogTrimmed) {
  Config.ScreenReceive = true;
  Create();
  EXPECT_EQ(Form->windowTitle(), "Pondar Desktop");
  EXPECT_EQ(Form->Pages->currentWidget(), Form->TabSettings);
  EXPECT_TRUE(Form->App()->Running());
  EXPECT_EQ(Boxes(), "X-X");
  Form->chkScreen->click();
  EXPECT_EQ(Boxes(), "-..");
  Form->chkScreen->click();
  EXPECT_EQ(Boxes(), "X--");

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

  Form->memoLog->clear();
  for (int i = 1; i <= 5001; ++i) Form->HandleAppLog("line " + std::to_string(i));
  EXPECT_EQ(Form->LogLineCount(), 5001);
  Form->HandleAppLog("line 5002");
  EXPECT_EQ(Form->LogLineCount(), 4501);
  EXPECT_EQ(LogLines().front(), "line 502");
  EXPECT_EQ(LogLines().back(), "line 5002");
}

TEST_F(MainFormTest, ScreenPage_PlaceholdersOnBlack_FrameRepaintsOnlyForTheShownPeer) {
  Create();
  ShowOn(Form->TabScreen);
  EXPECT_EQ(Form->ScreenPlaceholder(), "No peers connected");
  // Grey text on black, nothing brighter.
  const QImage empty = Form->pbScreen->grab().toImage().convertToFormat(QImage::Format_RGB888);
  const auto* px = empty.constBits();
  const std::set<uint8_t> levels(px, px + empty.sizeInBytes());
  EXPECT_EQ(*levels.begin(), 0);
  EXPECT_EQ(*levels.rbegin(), 128);

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
  Form->HandleScreenPicture("A", SolidPicture(64, 48, 0, 0, 255));
  Pump();
  EXPECT_EQ(paints, 0);
  EXPECT_EQ(Form->ScreenPlaceholder(), "No screen data from B");
  Form->HandleScreenPicture("B", SolidPicture(64, 48, 255, 0, 0));
  ASSERT_TRUE(WaitFor([&] {
    Pump();
    return paints > 0;
  }));
  EXPECT_EQ(Form->ScreenPlaceholder(), "");
  EXPECT_EQ(Centre(), QColor(0, 0, 255));
  // B's viewer goes with B (said by an empty picture); A's is shown when A is chosen.
  Form->HandleScreenPicture("B", {});
  EXPECT_EQ(Form->ScreenPlaceholder(), "No screen data from B");
  Form->ShowPeers(Peers({"A"}));
  EXPECT_EQ(Centre(), QColor(255, 0, 0));
}

// The settings read the arguments as the process received them, before Qt took "--name" (which
// it knows as its own -name) out of the list; SIGTERM closes the window and the peer gracefully.
TEST_F(MainFormTest, Program_WithADisplay_OpensTheWindowWithTheNameGiven) {
  PondarTest::TXvfb x;
  if (!x.Ok()) GTEST_SKIP() << x.Why();
  if (!PondarTest::HaveProgram("xdotool")) GTEST_SKIP() << "xdotool is not installed";
  // The desktop's D-Bus library, which Qt loads for a real display, keeps a buffer to the end
  // that LeakSanitizer would report; the program's own leaks are still reported. Under
  // ThreadSanitizer the X libraries' locking shows up as races (the window's own code is
  // checked in this process instead), so the program keeps quiet about them.
  const std::string leaks = (SettingsDir.Path() / "lsan.supp").string();
  std::ofstream(leaks) << "leak:libdbus-1.so\n";
  const char* tsan = std::getenv("TSAN_OPTIONS");
  const std::string script = "env -u QT_QPA_PLATFORM LSAN_OPTIONS=suppressions=" + leaks +
                             " TSAN_OPTIONS=" + (tsan ? tsan : "") + ":report_bugs=0"
                             " \"$@\" & pid=$!\n"
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
