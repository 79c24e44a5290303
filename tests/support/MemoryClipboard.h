// A clipboard in memory, standing in for the desktop's in tests: what a user copies, and a
// clipboard that another program keeps busy.
#pragma once

#include <mutex>

#include "clipboard/Clipboard.h"

namespace PondarTest {

class TMemoryClipboard final : public Pondar::Clipboard::TClipboardBackend {
 public:
  void Copy(const std::string& AText) { Change(AText); }
  void CopyPicture() { Change(""); }  // content without text
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
  std::optional<std::string> TryReadText() override {
    std::lock_guard lock(FLock);
    if (FBusy > 0 && FBusy--) return std::nullopt;
    return FText;
  }
  bool TryWriteText(const std::string& AText) override {
    {
      std::lock_guard lock(FLock);
      if (FBusy > 0 && FBusy--) return false;
    }
    Change(AText);
    return true;
  }

 private:
  void Change(const std::string& AText) {
    std::lock_guard lock(FLock);
    FText = AText;
    ++FSeqNo;
  }
  std::mutex FLock;
  std::string FText;
  uint32_t FSeqNo = 1;
  int FBusy = 0;
};

}  // namespace PondarTest
