// The local side of clipboard sharing: noticing that the clipboard took on new text and
// reporting that text once, and writing a peer's text without it coming back as a local copy.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "core/Types.h"
#include "core/Worker.h"

namespace Pondar::Clipboard {

using Pondar::Core::RawUtf8;

// What the clipboard holds, as one read found it.
struct TClipboardContent {
  RawUtf8 Text;  // "" when it holds no text (a picture, files, nothing)
  // Set when the content is what TryWriteText put there, to the text as it was written. The
  // desktop may keep a text otherwise than it was given (bytes that are no UTF-8 come back as
  // replacement characters): what it made of a text written here is no copy made here.
  std::optional<RawUtf8> Written;
  bool operator==(const TClipboardContent&) const = default;
};

// The clipboard as the program reaches it: its Unicode text only (on X11 the CLIPBOARD
// selection, never PRIMARY) and a number that changes with every change of its content. Called
// from worker threads, so an implementation never waits long for another thread.
class TClipboardBackend {
 public:
  virtual ~TClipboardBackend() = default;
  // Changes whenever the clipboard's content does, whoever changed it. Cheap: polled.
  virtual uint32_t SequenceNumber() = 0;
  // The clipboard's content; nullopt when it cannot be reached now, which is worth another try.
  virtual std::optional<TClipboardContent> TryRead() = 0;
  // Makes AText the clipboard's only content; false when the clipboard cannot be reached now.
  virtual bool TryWriteText(const RawUtf8& AText) = 0;
};

// SHA-256 of the text's UTF-8 bytes, 64 lower-case hex digits: equal exactly for equal texts.
RawUtf8 ClipboardTextHash(std::string_view AText);

// True for text that every desktop keeps byte for byte: valid UTF-8 (no overlong forms, no
// surrogates, nothing past U+10FFFF) without a NUL. Any other text comes back from the
// clipboard changed (cut at the NUL, or with replacement characters), so it cannot be shared
// as it was sent.
bool IsShareableText(std::string_view AText);

// Both make three tries, 50 ms apart, while the clipboard cannot be reached. A text is taken
// up to its first NUL, as the clipboards of other platforms end it there.
std::optional<TClipboardContent> TryReadClipboard(TClipboardBackend& AClipboard);
RawUtf8 ReadClipboardText(TClipboardBackend& AClipboard);  // "" when unreachable
bool WriteClipboardText(TClipboardBackend& AClipboard, const RawUtf8& AText);

using TOnClipboardChanged = std::function<void(const RawUtf8& AText)>;

// Polls the clipboard's sequence number and reports a new text through OnChanged, on its own
// thread, at most once per ReportGapMs. What the clipboard held when the watcher was created
// is not reported.
//
// The watcher remembers the last text shared, sent or received, as what every desk holds: a
// text equal to it is not reported, so a peer's text written here does not go back, and a
// text that differs from it always is, so that desks do not drift apart. A peer's text is
// written into the clipboard a moment after it arrives, behind whatever the clipboard was
// doing then (a local copy being read, another peer's text), so every peer's text is also
// remembered until the watcher has seen it on the clipboard: only then is it what this desk
// holds, and never news to the peers. What the clipboard holds because of a write of ours is
// never news either, whatever the desktop made of the text written.
class TClipboardWatcher final : public Core::TWorkerThread {
 public:
  static constexpr uint64_t PollMs = 200;
  static constexpr uint64_t ReportGapMs = 500;

  // Starts at once unless AStart is false, in which case nothing runs until a caller drives
  // Poll itself (as tests do, with a clock of their own).
  TClipboardWatcher(std::shared_ptr<TClipboardBackend> AClipboard, TOnClipboardChanged AOnChanged,
                    bool AStart = true);
  ~TClipboardWatcher() override;

  // Any thread: AHash (of ClipboardTextHash) is what a peer sent and every desk now holds. Call
  // it before the text is written, so that the write is recognised.
  void SetReceivedHash(const RawUtf8& AHash);
  // Any thread: the text of AHash could not be written here after all, so it is not what this
  // desk holds; copying it here later is news to the peers.
  void ForgetReceivedHash(const RawUtf8& AHash);
  // Peers' texts not yet seen on the clipboard; the oldest is let go beyond this many (a text
  // overwritten before the watcher looked is never seen).
  static constexpr size_t MaxReceivedHashes = 8;

  // One look at the clipboard at ANowMs (monotonic milliseconds). A change inside the report
  // gap is looked at again when the gap ends, so that the last copy is never lost.
  void Poll(uint64_t ANowMs);

 protected:
  void Execute() override;

 private:
  const std::shared_ptr<TClipboardBackend> FClipboard;
  const TOnClipboardChanged FOnChanged;
  // Used by the polling thread only.
  uint32_t FLastSeqNo;
  uint64_t FLastSendTick = 0;
  bool FLookDue = false;  // a change not yet looked at
  RawUtf8 FLastSeenHash;  // the text the last look found
  std::mutex FLock;       // guards the hashes below
  RawUtf8 FLastSentHash;
  std::deque<RawUtf8> FLastReceivedHashes;  // peers' texts not yet seen here, newest last
};

}  // namespace Pondar::Clipboard
