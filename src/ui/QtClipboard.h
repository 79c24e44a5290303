// The desktop's clipboard through Qt, for workers that must never wait for the Qt thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "clipboard/Clipboard.h"

class QObject;

namespace Pondard::UI {

using Pondar::Core::RawUtf8;

// Made and destroyed on the thread that owns the Qt application, used from any thread. That
// thread keeps a copy of the clipboard's text and counts its changes as Qt reports them;
// workers read the copy and post their writes to it, so a busy or closing Qt thread never
// holds a worker up. On X11 this is the CLIPBOARD selection; PRIMARY is never touched.
class TQtClipboard final : public Pondar::Clipboard::TClipboardBackend {
 public:
  TQtClipboard();
  ~TQtClipboard() override;

  uint32_t SequenceNumber() override;
  std::optional<RawUtf8> TryReadText() override;
  // Posts the write to the Qt thread and returns; false once the clipboard is being destroyed.
  bool TryWriteText(const RawUtf8& AText) override;

 private:
  void TakeSnapshot();  // Qt thread

  // Lives on the Qt thread: Qt's signal connections and the posted writes are bound to it, and
  // die with it.
  std::unique_ptr<QObject> FContext;
  std::atomic<uint32_t> FSeqNo{0};
  std::mutex FLock;  // guards FText and FClosing
  RawUtf8 FText;
  bool FClosing = false;
};

}  // namespace Pondard::UI
