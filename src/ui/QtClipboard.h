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
// holds a worker up. On X11 this is the CLIPBOARD selection; PRIMARY is never touched. The
// copy taken right after a write of ours is marked with the text written: Qt keeps text as
// UTF-16, so bytes that are no UTF-8 are read back as replacement characters.
class TQtClipboard final : public Pondar::Clipboard::TClipboardBackend {
 public:
  TQtClipboard();
  ~TQtClipboard() override;

  uint32_t SequenceNumber() override;
  std::optional<Pondar::Clipboard::TClipboardContent> TryRead() override;
  // Posts the write to the Qt thread and returns; false once the clipboard is being destroyed.
  bool TryWriteText(const RawUtf8& AText) override;

 private:
  // Qt thread. AWritten: the text of the write of ours that made the content, if one did.
  void TakeSnapshot(std::optional<RawUtf8> AWritten = std::nullopt);

  // Lives on the Qt thread: Qt's signal connections and the posted writes are bound to it, and
  // die with it.
  std::unique_ptr<QObject> FContext;
  std::atomic<uint32_t> FSeqNo{0};
  bool FWriting = false;  // Qt thread: inside a write of ours
  std::mutex FLock;       // guards FContent and FClosing
  Pondar::Clipboard::TClipboardContent FContent;
  bool FClosing = false;
};

}  // namespace Pondard::UI
