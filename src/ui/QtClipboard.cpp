#include "ui/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QObject>

namespace Pondard::UI {

TQtClipboard::TQtClipboard() : FContext(std::make_unique<QObject>()) {
  QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, FContext.get(),
                   [this] { TakeSnapshot(); });
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

void TQtClipboard::TakeSnapshot() {
  const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
  RawUtf8 text = data && data->hasText() ? data->text().toStdString() : RawUtf8();
  {
    std::lock_guard lock(FLock);
    FText = std::move(text);
  }
  // Raised after the text is in place, so a reader that sees the new number gets the new text.
  FSeqNo.fetch_add(1, std::memory_order_acq_rel);
}

uint32_t TQtClipboard::SequenceNumber() {
  return FSeqNo.load(std::memory_order_acquire);
}

std::optional<RawUtf8> TQtClipboard::TryReadText() {
  std::lock_guard lock(FLock);
  return FText;
}

bool TQtClipboard::TryWriteText(const RawUtf8& AText) {
  std::lock_guard lock(FLock);
  if (FClosing) return false;
  QMetaObject::invokeMethod(
      FContext.get(),
      [this, text = QString::fromStdString(AText)] {
        QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
        // Not every platform tells of a change the application made itself.
        TakeSnapshot();
      },
      Qt::QueuedConnection);
  return true;
}

}  // namespace Pondard::UI
