// A clipboard in memory, standing in for the desktop's in tests: what a user copies, a
// clipboard that another program keeps busy, and a desktop that keeps text otherwise than it
// is written.
#pragma once

#include <functional>
#include <mutex>

#include "clipboard/Clipboard.h"

namespace PondarTest {

class TMemoryClipboard final : public Pondar::Clipboard::TClipboardBackend {
 public:
  void Copy(const std::string& AText) { Change(AText); }
  void CopyPicture() { Change(""); }  // content without text
  // What this desktop makes of a text written to it (as X11 turns bytes that are no UTF-8 into
  // replacement characters); unset, it keeps every text as written.
  void KeepTextAs(std::function<std::string(const std::string&)> AKeep) {
    std::lock_guard lock(FLock);
    FKeep = std::move(AKeep);
  }
  // The next AFailures reads or writes find the clipboard held by another program.
  void HoldBusy(int AFailures) {
    std::lock_guard lock(FLock);
    FBusy = AFailures;
  }
  std::string Text() {
    std::lock_guard lock(FLock);
    return FText;
  }

  uint32_t SequenceNumber() override {
    std::lock_guard lock(FLock);
    return FSeqNo;
  }
  std::optional<Pondar::Clipboard::TClipboardContent> TryRead() override {
    std::lock_guard lock(FLock);
    if (FBusy > 0 && FBusy--) return std::nullopt;
    return Pondar::Clipboard::TClipboardContent{FText, FWritten};
  }
  bool TryWriteText(const std::string& AText) override {
    std::lock_guard lock(FLock);
    if (FBusy > 0 && FBusy--) return false;
    FText = FKeep ? FKeep(AText) : AText;
    FWritten = AText;
    ++FSeqNo;
    return true;
  }

 private:
  void Change(const std::string& AText) {
    std::lock_guard lock(FLock);
    FText = AText;
    FWritten.reset();
    ++FSeqNo;
  }
  std::mutex FLock;
  std::string FText;
  std::optional<std::string> FWritten;  // the text written, while the clipboard holds it
  std::function<std::string(const std::string&)> FKeep;
  uint32_t FSeqNo = 1;
  int FBusy = 0;
};

}  // namespace PondarTest
