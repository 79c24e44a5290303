#include "clipboard/Clipboard.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/Sha256.h"

namespace Pondar::Clipboard {

namespace {

constexpr int KAttempts = 3;
constexpr auto KAttemptPause = std::chrono::milliseconds(50);

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

RawUtf8 ClipboardTextHash(std::string_view AText) {
  return Core::Sha256Hex(AText);
}

std::optional<RawUtf8> TryReadClipboardText(TClipboardBackend& AClipboard) {
  for (int attempt = 0; attempt < KAttempts; ++attempt) {
    if (auto text = AClipboard.TryReadText()) {
      if (const auto nul = text->find('\0'); nul != RawUtf8::npos) text->resize(nul);
      return text;
    }
    std::this_thread::sleep_for(KAttemptPause);
  }
  return std::nullopt;
}

RawUtf8 ReadClipboardText(TClipboardBackend& AClipboard) {
  return TryReadClipboardText(AClipboard).value_or(RawUtf8());
}

bool WriteClipboardText(TClipboardBackend& AClipboard, const RawUtf8& AText) {
  for (int attempt = 0; attempt < KAttempts; ++attempt) {
    if (AClipboard.TryWriteText(AText)) return true;
    std::this_thread::sleep_for(KAttemptPause);
  }
  return false;
}

TClipboardWatcher::TClipboardWatcher(std::shared_ptr<TClipboardBackend> AClipboard,
                                     TOnClipboardChanged AOnChanged, bool AStart)
    : TWorkerThread("Clipboard watcher"),
      FClipboard(std::move(AClipboard)),
      FOnChanged(std::move(AOnChanged)),
      FLastSeqNo(FClipboard->SequenceNumber()) {
  if (AStart) Start();
}

TClipboardWatcher::~TClipboardWatcher() {
  Terminate();
  WaitFor();
}

void TClipboardWatcher::SetReceivedHash(const RawUtf8& AHash) {
  std::lock_guard lock(FLock);
  if (FLastReceivedHashes.size() == MaxReceivedHashes) FLastReceivedHashes.pop_front();
  FLastReceivedHashes.push_back(AHash);
  FLastSentHash = AHash;
}

void TClipboardWatcher::ForgetReceivedHash(const RawUtf8& AHash) {
  std::lock_guard lock(FLock);
  std::erase(FLastReceivedHashes, AHash);
  if (FLastSentHash == AHash) FLastSentHash.clear();
}

void TClipboardWatcher::Execute() {
  while (Pause(std::chrono::milliseconds(PollMs))) Poll(NowMs());
}

void TClipboardWatcher::Poll(uint64_t ANowMs) {
  const uint32_t seqNo = FClipboard->SequenceNumber();
  if (seqNo != FLastSeqNo) {
    FLastSeqNo = seqNo;
    FLookDue = true;
  }
  if (!FLookDue || ANowMs - FLastSendTick < ReportGapMs) return;

  // A clipboard that another program holds is tried again at the next poll.
  const auto text = TryReadClipboardText(*FClipboard);
  if (!text) return;
  FLookDue = false;
  if (text->empty()) return;

  const RawUtf8 hash = ClipboardTextHash(*text);
  const bool seenBefore = hash == FLastSeenHash;
  FLastSeenHash = hash;
  {
    std::lock_guard lock(FLock);
    if (const auto received =
            std::find(FLastReceivedHashes.begin(), FLastReceivedHashes.end(), hash);
        received != FLastReceivedHashes.end()) {
      // A peer's text has landed: what every desk holds now.
      FLastReceivedHashes.erase(received);
      FLastSentHash = hash;
      return;
    }
    if (hash == FLastSentHash) return;
    // The text the last look found, while a peer's text has come since: that text's write has
    // not landed yet (the clipboard told of some other event of its own), and what was read is
    // what the clipboard held before it. Sent, it would put an older text on every desk.
    if (seenBefore) return;
    FLastSentHash = hash;
  }
  FLastSendTick = ANowMs;
  if (FOnChanged) FOnChanged(*text);
}

}  // namespace Pondar::Clipboard
