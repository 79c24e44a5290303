// The requesting side of the TCP protocol: one connection per message, opened here, closed
// before returning; each operation connects, writes its request and reads the reply through
// net/Messages. Network failures never throw; they give an empty list, false or nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "core/Limits.h"
#include "core/Types.h"
#include "net/Connection.h"
#include "net/Protocol.h"

namespace Pondar::Net {

// Bytes received so far and the total, after each received block.
using TTransferProgressProc = std::function<void(int64_t AReceived, int64_t ATotal)>;

// An open connection to AHost:APort (dotted IPv4) with the requester's limits (see
// TConnection::Connect); not connected (false) when it cannot be made within 5 000 ms. The
// request on it has the budget of core/Limits.h from now on: a peer that accepts and then never
// answers, or stalls in the middle of a reply, costs that long and no longer.
inline TConnection ConnectToPeer(const RawUtf8& AHost, uint16_t APort) {
  TConnection conn = TConnection::Connect(AHost, APort);
  if (conn) conn.SetRequestBudget(Core::Limits::RequestBudgetMs);
  return conn;
}

// The peer's whole file list (empty when it shares nothing); nullopt when it cannot be reached
// or its reply is broken (a length out of bounds, a cut connection).
std::optional<TFileEntries> RequestFileList(const RawUtf8& AHost, uint16_t APort);
// A download received whole into its temporary file, ALocalPath + ".pondartmp", but not yet
// known to be on disk nor under its name: Finish does both, so that a receiver may finish one
// file while the next is on the wire. Dropped unfinished, it removes the temporary file.
class TReceivedFile {
 public:
  TReceivedFile(TReceivedFile&& AOther) noexcept;
  TReceivedFile& operator=(TReceivedFile&& AOther) noexcept;
  ~TReceivedFile();
  // Gives the file its last-write time through the descriptor, so that the time is written out
  // with the content and no path is looked up. A failure only costs a later re-check.
  void SetModifiedTime(double AModifiedUtc) const;
  // Starts writing the file out without waiting for it: a finisher that has several received
  // files starts them all first, so that the disk takes them in one go and each Finish after
  // that mostly finds its file written already. Only this file's pages are written, never
  // other programs' data on the same disk.
  void StartWriteOut() const;
  // Flushes the file to disk now (fdatasync: its own data and what is needed to read it back),
  // so that Finish need not. Several files flushed at once from several threads cost the disk
  // about one cache flush together, where one after another each costs a flush of its own.
  // Never throws: a failure is kept for Finish. Any thread, while no other call runs on it.
  void Flush();
  // Flushes AFiles to disk in one pass over their file system (syncfs), where that costs what
  // their own flushes would: they all lie on one file system, and the machine holds little
  // unwritten data besides theirs. One pass commits a whole batch of new files at once, where
  // each file's own flush waits for a commit of its own, even side by side with the others (on
  // ext4 about four times as many small files per second). False when that does not hold or the
  // pass fails, having done nothing that Flush would not do: each file is then flushed alone.
  // AUnwrittenBytes: what the machine holds waiting for its disks now (UnwrittenBytes()).
  static bool FlushInOnePass(std::span<TReceivedFile* const> AFiles, uint64_t AUnwrittenBytes);
  // Makes sure the file is on disk (Flush, unless done already) and renames it over the target:
  // false when the target cannot be replaced (a folder in the way; the complete temporary file
  // then stays). Throws std::system_error when writing it out failed; the temporary file is
  // then removed.
  bool Finish();

 private:
  friend std::optional<TReceivedFile> ReceiveFile(const RawUtf8&, uint16_t, const RawUtf8&,
                                                  const TTransferProgressProc&,
                                                  const std::string&, const std::atomic<bool>*,
                                                  bool*);
  explicit TReceivedFile(std::string ATargetPath);
  bool Create();  // creates or truncates the temporary file; errno set on failure
  bool CloseFd();  // false (errno set) when the system reports a late write error

  std::string FTargetPath;
  std::string FTempPath;
  int FFd = -1;
  bool FRemove = false;
  bool FFlushed = false;
  int FFlushErrno = 0;  // what Flush met; 0: on disk
};

// Bytes the whole machine holds in memory waiting for its disks, its own and other programs'
// (Dirty and Writeback of /proc/meminfo); nullopt when that cannot be read.
std::optional<uint64_t> UnwrittenBytes();

// Receives ARelPath into ALocalPath + ".pondartmp"; nullopt when the peer is unreachable, lacks
// the file, or the transfer breaks or is cancelled (no temporary file is then left). *AOutOfTime,
// when given, tells whether it failed because the peer let the request's budget run out (it
// answered too slowly, or stalled): a peer that does so once is not worth asking again soon. Throws
// std::runtime_error (after closing the connection) when the folder or the temporary file
// cannot be created or written; a partial temporary file is then removed.
std::optional<TReceivedFile> ReceiveFile(const RawUtf8& AHost, uint16_t APort,
                                         const RawUtf8& ARelPath,
                                         const TTransferProgressProc& AProgress,
                                         const std::string& ALocalPath,
                                         const std::atomic<bool>* ACancel = nullptr,
                                         bool* AOutOfTime = nullptr);
// ReceiveFile, then Finish: receives ARelPath into ALocalPath + ".pondartmp", flushes it to disk
// and renames it over ALocalPath once whole.
// False when the peer is unreachable, lacks the file, or the transfer breaks (no temporary file
// is then left), or when the old target cannot be replaced (the complete temporary file stays).
// Throws std::runtime_error (after closing the connection) when the folder or the temporary
// file cannot be created or written; a partial temporary file is then removed, as it is never
// of use. The old target is untouched in every failure.
// ACancel, when given and set, ends the transfer between blocks as a failed one.
bool DownloadFile(const RawUtf8& AHost, uint16_t APort, const RawUtf8& ARelPath,
                  const TTransferProgressProc& AProgress, const std::string& ALocalPath,
                  const std::atomic<bool>* ACancel = nullptr);
void SendDeleteNotify(const RawUtf8& AHost, uint16_t APort, const RawUtf8& ARelPath);
void SendChangesNotify(const RawUtf8& AHost, uint16_t APort);
void SendClipboardText(const RawUtf8& AHost, uint16_t APort, const RawUtf8& AText);
// True only when every byte of the frame message was sent.
bool SendScreenFrame(const RawUtf8& AHost, uint16_t APort, const RawUtf8& APeerName,
                     const TBytes& AData);

}  // namespace Pondar::Net
