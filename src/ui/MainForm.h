// The program's one window: the settings, the log and the screens of other peers. It owns the
// engine, restarts it with edited settings and draws each peer's screen with a viewer of its own.
#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/App.h"
#include "app/Config.h"
#include "screen/Viewer.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPainter;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTimer;

namespace Pondard::UI {

using Pondar::Core::RawUtf8;
using Pondar::Core::TBytes;
using Pondar::Core::TPeerInfoDynArray;

class TQtClipboard;
class TQtDeliveryQueue;

// What the window asks of the desktop beyond its own controls. Tests replace it, so that no
// modal dialog waits for a person. Empty members take the defaults: a modal error box owned by
// the window, and QApplication::beep for both sounds (Qt offers no other system sound).
struct TMainFormDesktop {
  std::function<void(QWidget* AParent, const QString& AText)> ShowError;
  std::function<void(App::TSound ASound)> PlaySound;
};

// Why AFolder cannot be the shared folder, in a sentence for the user; empty when it can be.
// Peers write into the shared folder and delete from it: it must be named by its full path, be
// a folder that exists, and not be the root of the file system. An empty field is refused, not
// taken for the current folder, or the program's start folder would be shared unnoticed.
QString FolderRefusal(const QString& AFolder);

// A surface that leaves its painting to its owner.
class TPaintBox final : public QWidget {
 public:
  explicit TPaintBox(QWidget* AParent) : QWidget(AParent) {}
  std::function<void(QPainter& ACanvas)> OnPaint;

 protected:
  void paintEvent(QPaintEvent* AEvent) override;
};

// Made, used and destroyed on the thread that owns the QApplication; every handler runs there.
// Engine lines, frames, sounds and transfer progress reach it through the engine's delivery
// queue on the Qt event loop, so no worker ever waits for it. Creating the window creates and
// starts the engine; destroying it stops and frees the engine (which may take up to one network
// time-out when a worker is busy with a silent peer).
class TMainForm final : public QWidget {
 public:
  // AConfig: the settings as TPondardConfig::Init made them from the command line the process
  // received (before Qt took its own options out of it).
  explicit TMainForm(App::TPondardConfig AConfig, TMainFormDesktop ADesktop = {});
  ~TMainForm() override;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Handlers of the window's events.
  void chkScreenClick();
  // A folder picker starting in the typed folder; a confirmed choice replaces the typed text.
  void btnBrowseClick();
  // Stop, take the controls' settings, save them, start again. A failed save is shown in an
  // error box and said in the log; the engine runs with the applied settings all the same.
  // A folder that cannot be shared (see FolderRefusal) is refused in an error box before
  // anything else: nothing is applied, and the engine goes on with the folder it has.
  void btnApplyClick();
  void TimerStatusTimer();
  void pbScreenPaint(QPainter& ACanvas);

  // The engine's sinks.
  void HandleAppLog(const RawUtf8& AMsg);
  // The peer's newest picture swapped in (a viewer made for a peer's first one); an empty
  // picture: the peer has gone, and its viewer with it.
  void HandleScreenPicture(const RawUtf8& APeerName, const Screen::TScreenPicture& APicture);
  // Downloads of 256 KiB and more: shown under the log until the last byte, or until no news
  // came for TransferIdleMs (a transfer that failed says nothing more).
  void HandleTransferProgress(const RawUtf8& ARelPath, int64_t AReceived, int64_t ATotal);

  void LoadSettingsToControls();
  void SaveControlsToSettings();
  // The timer's work on a given peer list: the shown peer stays shown while it is listed,
  // otherwise the first one is.
  void ShowPeers(const TPeerInfoDynArray& APeers);
  // What the screen page says instead of a picture; empty when a picture is drawn.
  QString ScreenPlaceholder() const;
  // Lines in the log, as the trim counts them.
  int LogLineCount() const;

  App::TPondardApp* App() { return FApp.get(); }

  static constexpr int StatusIntervalMs = 5000;
  static constexpr int MaxLogLines = 5000;  // more than this is trimmed back to KeptLogLines
  static constexpr int KeptLogLines = 4500;
  static constexpr int TransferIdleMs = 5000;

  // The controls, in the order of the window's layout.
  QTabWidget* Pages = nullptr;
  QWidget* TabSettings = nullptr;
  QWidget* TabLog = nullptr;
  QWidget* TabScreen = nullptr;
  QCheckBox* chkFileSharing = nullptr;
  QLabel* lblFolder = nullptr;
  QLineEdit* edtFolder = nullptr;
  QPushButton* btnBrowse = nullptr;
  QCheckBox* chkClipboard = nullptr;
  QCheckBox* chkScreen = nullptr;
  QCheckBox* chkScreenBroadcast = nullptr;
  QCheckBox* chkScreenReceive = nullptr;
  QLabel* lblName = nullptr;
  QLineEdit* edtName = nullptr;
  QLabel* lblUdpPort = nullptr;
  QLineEdit* edtUdpPort = nullptr;
  QLabel* lblTcpPort = nullptr;
  QLineEdit* edtTcpPort = nullptr;
  QLabel* lblNetworkKey = nullptr;
  QLineEdit* edtNetworkKey = nullptr;  // masked until chkShowKey is ticked
  QCheckBox* chkShowKey = nullptr;
  QLabel* lblNetworkKeyHint = nullptr;
  QPushButton* btnApply = nullptr;
  QPlainTextEdit* memoLog = nullptr;
  QWidget* pnlScreenTop = nullptr;
  QLabel* lblViewFrom = nullptr;
  QComboBox* cboPeers = nullptr;
  QLabel* lblScreenStatus = nullptr;
  TPaintBox* pbScreen = nullptr;
  QTimer* TimerStatus = nullptr;
  // Under the log while a large file arrives.
  QWidget* pnlTransfer = nullptr;
  QLabel* lblTransfer = nullptr;
  QProgressBar* pbTransfer = nullptr;

 private:
  void CreateControls();
  void FormCreate(App::TPondardConfig AConfig);
  void FormDestroy();
  // The Qt clipboard on the engine, made the first time clipboard sharing is on (before Start).
  void OfferClipboard();
  const Screen::TScreenPicture* ShownPicture() const;

  // A peer's screen as the window shows it: the last picture the engine decoded.
  struct TPeerViewer {
    QString PeerName;
    Screen::TScreenPicture Picture;
  };

  TMainFormDesktop FDesktop;
  std::shared_ptr<TQtDeliveryQueue> FQueue;
  std::shared_ptr<TQtClipboard> FClipboard;
  std::unique_ptr<App::TPondardApp> FApp;
  // One per peer that has sent a frame, in order of the first frame, while the peer is known.
  std::vector<TPeerViewer> FViewers;
  QTimer* FTransferIdle = nullptr;
};

}  // namespace Pondard::UI
