#include "ui/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QObject>

namespace Pondard::UI {

TQtClipboard::TQtClipboard() : FContext(std::make_unique<QObject>()) {
  // A change told while we write is ours; the write takes its own snapshot right after.
  QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, FContext.get(), [this] {
    if (!FWriting) TakeSnapshot();
  });
  TakeSnapshot();
}

TQtClipboard::~TQtClipboard() {
  {
    std::lock_guard lock(FLock);
    FClosing = true;
  }
  // Writes posted but not yet run are dropped with the context.
  FContext.reset();
}

void TQtClipboard::TakeSnapshot(std::optional<RawUtf8> AWritten) {
  const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
  RawUtf8 text = data && data->hasText() ? data->text().toStdString() : RawUtf8();
  {
    std::lock_guard lock(FLock);
    // X11 may tell of a write of ours once more after it: the same text is still ours.
    if (!AWritten && FContent.Written && FContent.Text == text) AWritten = FContent.Written;
    FContent = {std::move(text), std::move(AWritten)};
  }
  // Raised after the text is in place, so a reader that sees the new number gets the new text.
  FSeqNo.fetch_add(1, std::memory_order_acq_rel);
}

uint32_t TQtClipboard::SequenceNumber() {
  return FSeqNo.load(std::memory_order_acquire);
}

std::optional<Pondar::Clipboard::TClipboardContent> TQtClipboard::TryRead() {
  std::lock_guard lock(FLock);
  return FContent;
}

bool TQtClipboard::TryWriteText(const RawUtf8& AText) {
  std::lock_guard lock(FLock);
  if (FClosing) return false;
  QMetaObject::invokeMethod(
      FContext.get(),
      [this, written = AText] {
        FWriting = true;
        QGuiApplication::clipboard()->setText(QString::fromStdString(written),
                                              QClipboard::Clipboard);
        FWriting = false;
        // Not every platform tells of a change the application made itself.
        TakeSnapshot(written);
      },
      Qt::QueuedConnection);
  return true;
}

}  // namespace Pondard::UI
