#include "ui/MainForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <system_error>

#include "net/NetworkKey.h"
#include "screen/Viewer.h"
#include "ui/DesktopScreen.h"
#include "ui/QtClipboard.h"
#include "ui/QtDeliveryQueue.h"

namespace Pondard::UI {

namespace {

// A port field as the settings file reads its ports; text that is no integer gives ADefault.
uint16_t PortFromText(const QString& AText, uint16_t ADefault) {
  const auto value = App::ParseInteger(AText.toStdString());
  return value ? App::PortFromInteger(*value) : ADefault;
}

template <class T>
T* Place(QWidget* AParent, int ALeft, int ATop, int AWidth, int AHeight) {
  auto* control = new T(AParent);
  control->setGeometry(ALeft, ATop, AWidth, AHeight);
  return control;
}

QLabel* PlaceLabel(QWidget* AParent, int ALeft, int ATop, const QString& ACaption) {
  auto* label = new QLabel(ACaption, AParent);
  label->move(ALeft, ATop);
  label->adjustSize();
  return label;
}

QCheckBox* PlaceCheck(QWidget* AParent, int ALeft, int ATop, const QString& ACaption) {
  auto* box = Place<QCheckBox>(AParent, ALeft, ATop, 200, 20);
  box->setText(ACaption);
  return box;
}

const QColor PlaceholderGrey(128, 128, 128);

}  // namespace

QString FolderRefusal(const QString& AFolder) {
  if (AFolder.isEmpty()) return QStringLiteral("No folder to share: the Folder field is empty.");
  const std::filesystem::path path = AFolder.toStdString();
  if (!path.is_absolute())
    return QStringLiteral("\"%1\" is no full path: name the folder from \"/\" on.").arg(AFolder);
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(status))
    return QStringLiteral("There is no folder \"%1\".").arg(AFolder);
  if (!std::filesystem::is_directory(status))
    return QStringLiteral("\"%1\" is a file, not a folder.").arg(AFolder);
  if (std::filesystem::canonical(path, ec) == "/")
    return QStringLiteral("\"%1\" is the whole file system: share a folder made for the purpose.")
        .arg(AFolder);
  return {};
}

void TPaintBox::paintEvent(QPaintEvent* /*AEvent*/) {
  QPainter canvas(this);
  if (OnPaint) OnPaint(canvas);
}

TMainForm::TMainForm(App::TPondardConfig AConfig, TMainFormDesktop ADesktop)
    : FDesktop(std::move(ADesktop)) {
  if (!FDesktop.ShowError) {
    FDesktop.ShowError = [](QWidget* AParent, const QString& AText) {
      QMessageBox::critical(AParent, QStringLiteral("Pondar Desktop"), AText);
    };
  }
  if (!FDesktop.PlaySound) FDesktop.PlaySound = [](App::TSound) { QApplication::beep(); };
  CreateControls();
  FormCreate(std::move(AConfig));
}

TMainForm::~TMainForm() {
  FormDestroy();
}

void TMainForm::CreateControls() {
  setWindowTitle(QStringLiteral("Pondar Desktop"));
  // The desktop's own UI font and a fixed font for the log, both 12 pixels high. Positions are
  // in device-independent pixels, so Qt's high-DPI scaling keeps the layout on any monitor.
  QFont uiFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  uiFont.setPixelSize(12);
  setFont(uiFont);
  resize(600, 420);

  auto* windowLayout = new QVBoxLayout(this);
  windowLayout->setContentsMargins(0, 0, 0, 0);
  Pages = new QTabWidget(this);
  windowLayout->addWidget(Pages);
  TabSettings = new QWidget;
  TabLog = new QWidget;
  TabScreen = new QWidget;
  Pages->addTab(TabSettings, QStringLiteral("Settings"));
  Pages->addTab(TabLog, QStringLiteral("Log"));
  Pages->addTab(TabScreen, QStringLiteral("Screen Sharing"));
  Pages->setCurrentWidget(TabSettings);

  chkFileSharing = PlaceCheck(TabSettings, 12, 12, QStringLiteral("File sharing"));
  chkFileSharing->setChecked(true);
  lblFolder = PlaceLabel(TabSettings, 40, 39, QStringLiteral("Folder:"));
  edtFolder = Place<QLineEdit>(TabSettings, 86, 36, 380, 23);
  btnBrowse = Place<QPushButton>(TabSettings, 470, 36, 30, 23);
  btnBrowse->setText(QStringLiteral("..."));
  chkClipboard = PlaceCheck(TabSettings, 12, 72, QStringLiteral("Clipboard sharing"));
  chkScreen = PlaceCheck(TabSettings, 12, 108, QStringLiteral("Screen sharing"));
  chkScreenBroadcast = PlaceCheck(TabSettings, 40, 132, QStringLiteral("Broadcast my screen"));
  chkScreenBroadcast->setEnabled(false);
  chkScreenReceive = PlaceCheck(TabSettings, 40, 156, QStringLiteral("Receive remote screens"));
  chkScreenReceive->setEnabled(false);
  lblName = PlaceLabel(TabSettings, 12, 195, QStringLiteral("Name:"));
  edtName = Place<QLineEdit>(TabSettings, 62, 192, 150, 23);
  lblUdpPort = PlaceLabel(TabSettings, 12, 227, QStringLiteral("UDP port:"));
  edtUdpPort = Place<QLineEdit>(TabSettings, 82, 224, 60, 23);
  lblTcpPort = PlaceLabel(TabSettings, 168, 227, QStringLiteral("TCP port:"));
  edtTcpPort = Place<QLineEdit>(TabSettings, 236, 224, 60, 23);
  btnApply = Place<QPushButton>(TabSettings, 500, 260, 80, 28);
  btnApply->setText(QStringLiteral("Apply"));
  // Below the ports, left of Apply and beneath it: space the page had free.
  lblNetworkKey = PlaceLabel(TabSettings, 12, 267, QStringLiteral("Network key:"));
  edtNetworkKey = Place<QLineEdit>(TabSettings, 96, 264, 300, 23);
  edtNetworkKey->setEchoMode(QLineEdit::Password);
  edtNetworkKey->setPlaceholderText(QStringLiteral("none: every peer on the network is seen"));
  chkShowKey = Place<QCheckBox>(TabSettings, 404, 266, 60, 20);
  chkShowKey->setText(QStringLiteral("Show"));
  lblNetworkKeyHint = Place<QLabel>(TabSettings, 96, 294, 484, 48);
  lblNetworkKeyHint->setWordWrap(true);
  lblNetworkKeyHint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  lblNetworkKeyHint->setText(QStringLiteral(
      "Only peers with the same key see each other, and what passes between them is "
      "encrypted. A generated key (pondard --new-key) is the strong choice; a key you type "
      "is only as strong as it is hard to guess."));

  auto* logLayout = new QVBoxLayout(TabLog);
  logLayout->setContentsMargins(0, 0, 0, 0);
  logLayout->setSpacing(0);
  memoLog = new QPlainTextEdit(TabLog);
  memoLog->setReadOnly(true);
  memoLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  memoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoLog->setUndoRedoEnabled(false);  // a log that only grows and is trimmed keeps no history
  QFont logFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  logFont.setPixelSize(12);
  memoLog->setFont(logFont);
  logLayout->addWidget(memoLog, 1);

  // A strip that takes its height from the log only while it is shown.
  pnlTransfer = new QWidget(TabLog);
  auto* transferLayout = new QHBoxLayout(pnlTransfer);
  transferLayout->setContentsMargins(6, 2, 6, 2);
  lblTransfer = new QLabel(pnlTransfer);
  lblTransfer->setMinimumWidth(120);
  lblTransfer->setMaximumWidth(360);
  pbTransfer = new QProgressBar(pnlTransfer);
  pbTransfer->setRange(0, 1000);
  pbTransfer->setTextVisible(false);
  pbTransfer->setFixedHeight(6);
  transferLayout->addWidget(lblTransfer);
  transferLayout->addWidget(pbTransfer, 1);
  logLayout->addWidget(pnlTransfer);
  pnlTransfer->hide();
  FTransferIdle = new QTimer(this);
  FTransferIdle->setSingleShot(true);
  FTransferIdle->setInterval(TransferIdleMs);
  connect(FTransferIdle, &QTimer::timeout, this, [this] { pnlTransfer->hide(); });

  auto* screenLayout = new QVBoxLayout(TabScreen);
  screenLayout->setContentsMargins(0, 0, 0, 0);
  screenLayout->setSpacing(0);
  pnlScreenTop = new QWidget(TabScreen);
  pnlScreenTop->setFixedHeight(32);
  lblViewFrom = PlaceLabel(pnlScreenTop, 12, 8, QStringLiteral("View from:"));
  cboPeers = Place<QComboBox>(pnlScreenTop, 80, 4, 180, 23);
  cboPeers->setEditable(false);
  lblScreenStatus = PlaceLabel(pnlScreenTop, 280, 8, QString());
  pbScreen = new TPaintBox(TabScreen);
  pbScreen->OnPaint = [this](QPainter& ACanvas) { pbScreenPaint(ACanvas); };
  screenLayout->addWidget(pnlScreenTop);
  screenLayout->addWidget(pbScreen, 1);

  TimerStatus = new QTimer(this);
  TimerStatus->setInterval(StatusIntervalMs);

  connect(chkScreen, &QCheckBox::clicked, this, [this] { chkScreenClick(); });
  connect(btnBrowse, &QPushButton::clicked, this, [this] { btnBrowseClick(); });
  connect(btnApply, &QPushButton::clicked, this, [this] { btnApplyClick(); });
  connect(chkShowKey, &QCheckBox::toggled, this, [this](bool AShown) {
    edtNetworkKey->setEchoMode(AShown ? QLineEdit::Normal : QLineEdit::Password);
  });
  connect(TimerStatus, &QTimer::timeout, this, [this] { TimerStatusTimer(); });

  if (const QScreen* desk = screen()) {
    move(desk->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
}

void TMainForm::FormCreate(App::TPondardConfig AConfig) {
  FQueue = std::make_shared<TQtDeliveryQueue>();
  FApp = std::make_unique<App::TPondardApp>(std::move(AConfig), FQueue);
  FApp->SetLogSink([this](const RawUtf8& ALine) { HandleAppLog(ALine); });
  FApp->SetScreenSource(DesktopScreenSource(FApp->Config().ScreenRestoreToken,
                                             [app = FApp.get()](const RawUtf8& AMsg) { app->Warn(AMsg); }));
  FApp->SetScreenPictureSink(
      [this](const RawUtf8& AName, const Screen::TScreenPicture& APicture) {
        HandleScreenPicture(AName, APicture);
      },
      [] { return std::make_unique<Screen::TScreenViewer>(); });
  FApp->SetSoundHook([this](App::TSound ASound) { FDesktop.PlaySound(ASound); });
  FApp->SetTransferProgressSink([this](const RawUtf8& APath, int64_t AReceived, int64_t ATotal) {
    HandleTransferProgress(APath, AReceived, ATotal);
  });
  LoadSettingsToControls();
  OfferClipboard();
  FApp->Start();
  TimerStatus->start();
}

void TMainForm::FormDestroy() {
  TimerStatus->stop();
  if (FApp) {
    FApp->Stop();
    // Its destructor clears the sinks, so lines still queued never reach this window.
    FApp.reset();
  }
  FViewers.clear();
}

void TMainForm::OfferClipboard() {
  if (!FApp->Config().Clipboard || FClipboard) return;
  FClipboard = std::make_shared<TQtClipboard>();
  FApp->SetClipboard(FClipboard);
}

// ---- settings ----

void TMainForm::LoadSettingsToControls() {
  const App::TPondardConfig config = FApp->Config();
  chkFileSharing->setChecked(config.FileSharing);
  edtFolder->setText(QString::fromStdString(config.Folder));
  chkClipboard->setChecked(config.Clipboard);
  chkScreen->setChecked(config.ScreenBroadcast || config.ScreenReceive);
  chkScreenBroadcast->setChecked(config.ScreenBroadcast);
  chkScreenReceive->setChecked(config.ScreenReceive);
  chkScreenBroadcast->setEnabled(chkScreen->isChecked());
  chkScreenReceive->setEnabled(chkScreen->isChecked());
  edtName->setText(QString::fromUtf8(config.Name.data(), static_cast<qsizetype>(config.Name.size())));
  edtUdpPort->setText(QString::number(config.UdpPort));
  edtTcpPort->setText(QString::number(config.TcpPort));
  edtNetworkKey->setText(QString::fromStdString(config.NetworkKey));
  // A key file given on the command line is in force over the field, which is then not used.
  const bool fromFile = !config.NetworkKeyFile.empty();
  edtNetworkKey->setEnabled(!fromFile);
  chkShowKey->setEnabled(!fromFile);
  if (fromFile) {
    edtNetworkKey->clear();
    edtNetworkKey->setPlaceholderText(
        QStringLiteral("from %1 (--key-file)").arg(QString::fromStdString(config.NetworkKeyFile)));
  }
}

void TMainForm::SaveControlsToSettings() {
  App::TPondardConfig config;
  config.FileSharing = chkFileSharing->isChecked();
  config.Folder = edtFolder->text().toStdString();  // neither checked nor trimmed
  config.Clipboard = chkClipboard->isChecked();
  config.ScreenBroadcast = chkScreenBroadcast->isChecked();
  config.ScreenReceive = chkScreenReceive->isChecked();
  config.Name = edtName->text().toStdString();  // used as typed until the next program start
  config.UdpPort = PortFromText(edtUdpPort->text(), 7731);
  config.TcpPort = PortFromText(edtTcpPort->text(), 7732);
  config.Sound = FApp->Config().Sound;  // no control shows it
  config.NetworkKeyFile = FApp->Config().NetworkKeyFile;
  // While a key file is in force the field is empty and disabled: the settings' key stays.
  config.NetworkKey = config.NetworkKeyFile.empty() ? edtNetworkKey->text().trimmed().toStdString()
                                                    : FApp->Config().NetworkKey;
  FApp->Config() = std::move(config);
}

void TMainForm::chkScreenClick() {
  const bool on = chkScreen->isChecked();
  chkScreenBroadcast->setEnabled(on);
  chkScreenReceive->setEnabled(on);
  if (!on) {
    chkScreenBroadcast->setChecked(false);
    chkScreenReceive->setChecked(false);
  }
}

void TMainForm::btnBrowseClick() {
  const QString chosen = QFileDialog::getExistingDirectory(
      this, QStringLiteral("Shared folder"), edtFolder->text(), QFileDialog::ShowDirsOnly);
  if (!chosen.isEmpty()) edtFolder->setText(QDir(chosen).absolutePath());
}

void TMainForm::btnApplyClick() {
  if (const QString refused = FolderRefusal(edtFolder->text()); !refused.isEmpty()) {
    const RawUtf8& kept = FApp->Config().Folder;
    FDesktop.ShowError(
        this,
        refused + QStringLiteral("\n\nNothing was applied: %1 is still shared.")
                      .arg(QString::fromUtf8(kept.data(), static_cast<qsizetype>(kept.size()))));
    return;
  }
  // A key that cannot be used would leave the peer off the network: said before anything stops.
  const QString key = edtNetworkKey->text();
  if (edtNetworkKey->isEnabled() && !key.trimmed().isEmpty()) {
    if (const std::string problem = Pondar::Net::NetworkKeyProblem(key.toStdString());
        !problem.empty()) {
      QString text = QString::fromStdString(problem);
      text[0] = text[0].toUpper();
      FDesktop.ShowError(this, text + QStringLiteral(".\n\nNothing was applied."));
      return;
    }
  }
  FApp->Stop();
  SaveControlsToSettings();
  QString notSaved;
  try {
    FApp->Config().SaveToIni();
  } catch (const std::exception& AError) {
    notSaved = QString::fromUtf8(AError.what());
  }
  // A peer left stopped because its settings file cannot be written would drop out of the
  // network unnoticed: it runs on with what was applied, and the user is told.
  OfferClipboard();
  FApp->Start();
  HandleAppLog("Settings applied, engine restarted.");
  if (!notSaved.isEmpty()) {
    FApp->Warn("Settings not saved: " + notSaved.toStdString());
    FDesktop.ShowError(this, notSaved);
  }
}

// ---- log ----

int TMainForm::LogLineCount() const {
  const QTextDocument* doc = memoLog->document();
  return doc->isEmpty() ? 0 : doc->blockCount();
}

void TMainForm::HandleAppLog(const RawUtf8& AMsg) {
  const int lines = LogLineCount();
  if (lines > MaxLogLines) {
    // One redraw for the whole cut, not one per line.
    memoLog->setUpdatesEnabled(false);
    QTextCursor cut(memoLog->document());
    cut.movePosition(QTextCursor::Start);
    cut.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, lines - KeptLogLines);
    cut.removeSelectedText();
    memoLog->setUpdatesEnabled(true);
  }
  memoLog->appendPlainText(QString::fromUtf8(AMsg.data(), static_cast<qsizetype>(AMsg.size())));
}

void TMainForm::HandleTransferProgress(const RawUtf8& ARelPath, int64_t AReceived,
                                       int64_t ATotal) {
  if (ATotal <= 0 || AReceived >= ATotal) {
    FTransferIdle->stop();
    pnlTransfer->hide();
    return;
  }
  const QString path = QString::fromUtf8(ARelPath.data(), static_cast<qsizetype>(ARelPath.size()));
  lblTransfer->setText(
      lblTransfer->fontMetrics().elidedText(path, Qt::ElideMiddle, lblTransfer->maximumWidth()));
  lblTransfer->setToolTip(path);
  pbTransfer->setValue(static_cast<int>(AReceived * 1000 / ATotal));
  pnlTransfer->show();
  FTransferIdle->start();
}

// ---- peers and screens ----

void TMainForm::TimerStatusTimer() {
  if (!FApp) return;
  ShowPeers(FApp->GetPeers());
}

void TMainForm::ShowPeers(const TPeerInfoDynArray& APeers) {
  const QString shown = cboPeers->currentText();
  cboPeers->setUpdatesEnabled(false);
  cboPeers->clear();
  for (const auto& peer : APeers)
    cboPeers->addItem(QString::fromUtf8(peer.Name.data(), static_cast<qsizetype>(peer.Name.size())));
  const int at = cboPeers->findText(shown);
  cboPeers->setCurrentIndex(at >= 0 ? at : (cboPeers->count() > 0 ? 0 : -1));
  cboPeers->setUpdatesEnabled(true);
}

void TMainForm::HandleScreenPicture(const RawUtf8& APeerName,
                                    const Screen::TScreenPicture& APicture) {
  const QString name = QString::fromUtf8(APeerName.data(), static_cast<qsizetype>(APeerName.size()));
  auto entry = std::find_if(FViewers.begin(), FViewers.end(),
                            [&](const TPeerViewer& AEntry) { return AEntry.PeerName == name; });
  if (APicture.Empty()) {
    if (entry != FViewers.end()) FViewers.erase(entry);
  } else if (entry == FViewers.end()) {
    FViewers.push_back({name, APicture});
  } else {
    entry->Picture = APicture;
  }
  if (cboPeers->currentText() == name) pbScreen->update();
}

const Screen::TScreenPicture* TMainForm::ShownPicture() const {
  const QString shown = cboPeers->currentText();
  for (const auto& entry : FViewers)
    if (entry.PeerName == shown) return &entry.Picture;
  return nullptr;
}

QString TMainForm::ScreenPlaceholder() const {
  if (ShownPicture()) return {};
  if (cboPeers->count() == 0) return QStringLiteral("No peers connected");
  return QStringLiteral("No screen data from ") + cboPeers->currentText();
}

void TMainForm::pbScreenPaint(QPainter& ACanvas) {
  const QRect area = pbScreen->rect();
  if (const Screen::TScreenPicture* picture = ShownPicture()) {
    picture->PaintTo(
        ACanvas, {area.left(), area.top(), area.left() + area.width(), area.top() + area.height()});
    return;
  }
  ACanvas.fillRect(area, Qt::black);
  QFont font = pbScreen->font();
  font.setPointSize(11);
  ACanvas.setFont(font);
  ACanvas.setPen(PlaceholderGrey);
  const QString text = ScreenPlaceholder();
  const QFontMetrics metrics(font, pbScreen);
  const int left = (area.width() - metrics.horizontalAdvance(text)) / 2;
  const int top = area.height() / 2;
  ACanvas.drawText(left, top + metrics.ascent(), text);
}

}  // namespace Pondard::UI
