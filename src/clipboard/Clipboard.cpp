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

bool IsShareableText(std::string_view AText) {
  const auto* p = reinterpret_cast<const unsigned char*>(AText.data());
  const auto* end = p + AText.size();
  while (p < end) {
    const unsigned c = *p;
    if (c == 0) return false;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // The lead byte gives the length and the first continuation byte's allowed range, which is
    // what shuts out overlong forms (E0 80..9F, F0 80..8F), surrogates (ED A0..BF) and code
    // points past U+10FFFF (F4 90..BF, F5..FF).
    size_t length = 0;
    unsigned low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length || p[1] < low || p[1] > high) return false;
    for (size_t i = 2; i < length; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += length;
  }
  return true;
}

std::optional<TClipboardContent> TryReadClipboard(TClipboardBackend& AClipboard) {
  for (int attempt = 0; attempt < KAttempts; ++attempt) {
    if (auto content = AClipboard.TryRead()) {
      if (const auto nul = content->Text.find('\0'); nul != RawUtf8::npos)
        content->Text.resize(nul);
      return content;
    }
    std::this_thread::sleep_for(KAttemptPause);
  }
  return std::nullopt;
}

RawUtf8 ReadClipboardText(TClipboardBackend& AClipboard) {
  const auto content = TryReadClipboard(AClipboard);
  return content ? content->Text : RawUtf8();
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
  const auto content = TryReadClipboard(*FClipboard);
  if (!content) return;
  FLookDue = false;
  const RawUtf8& text = content->Text;
  if (text.empty()) return;

  const RawUtf8 hash = ClipboardTextHash(text);
  const bool seenBefore = hash == FLastSeenHash;
  FLastSeenHash = hash;
  {
    std::lock_guard lock(FLock);
    if (content->Written) {
      // A peer's text as this desktop keeps it, which may not be byte for byte what was
      // written: what this desk holds of what every desk shares now.
      std::erase(FLastReceivedHashes, ClipboardTextHash(*content->Written));
      FLastSentHash = hash;
      return;
    }
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
  if (FOnChanged) FOnChanged(text);
}

}  // namespace Pondar::Clipboard
