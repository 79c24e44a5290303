#include "net/Transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "net/Messages.h"

namespace Pondar::Net {

namespace {

constexpr const char* TempSuffix = ".pondartmp";
constexpr int64_t EarlyWriteOutBytes = int64_t{1} << 20;
// Unwritten data not ours that a flush of the whole file system may wait for besides our own:
// more than a desktop's logs and caches hold, or a copy of a few small files just made (once
// flushed, it costs the next batch nothing), and far less than what a program that keeps
// writing leaves waiting (the kernel lets that grow to a tenth of the memory before it writes).
constexpr uint64_t OthersUnwrittenBytes = uint64_t{16} << 20;

std::system_error FileError(int AErrno, const std::string& AWhat, const std::string& APath) {
  return std::system_error(AErrno, std::generic_category(), AWhat + " " + APath);
}

// Writes the whole block, retrying short writes and signals.
bool WriteAll(int AFd, const uint8_t* AData, size_t ACount) {
  while (ACount > 0) {
    const ssize_t n = ::write(AFd, AData, ACount);
    if (n > 0) {
      AData += n;
      ACount -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0) errno = EIO;
      return false;
    }
  }
  return true;
}

// Directory part of a local path: everything before the last "/".
std::string DirectoryPart(const std::string& APath) {
  const auto pos = APath.rfind('/');
  return pos == std::string::npos ? std::string() : APath.substr(0, pos);
}

}  // namespace

std::optional<TFileEntries> RequestFileList(const RawUtf8& AHost, uint16_t APort) {
  TConnection conn = ConnectToPeer(AHost, APort);
  if (!conn || !WriteFileListRequest(conn)) return std::nullopt;
  return ReadFileListReply(conn);
}

TReceivedFile::TReceivedFile(std::string ATargetPath)
    : FTargetPath(std::move(ATargetPath)), FTempPath(FTargetPath + TempSuffix) {}

TReceivedFile::TReceivedFile(TReceivedFile&& AOther) noexcept
    : FTargetPath(std::move(AOther.FTargetPath)),
      FTempPath(std::move(AOther.FTempPath)),
      FFd(std::exchange(AOther.FFd, -1)),
      FRemove(std::exchange(AOther.FRemove, false)),
      FFlushed(AOther.FFlushed),
      FFlushErrno(AOther.FFlushErrno) {}

TReceivedFile& TReceivedFile::operator=(TReceivedFile&& AOther) noexcept {
  TReceivedFile dropped(std::move(*this));  // what this held goes as a dropped download would
  FTargetPath = std::move(AOther.FTargetPath);
  FTempPath = std::move(AOther.FTempPath);
  FFd = std::exchange(AOther.FFd, -1);
  FRemove = std::exchange(AOther.FRemove, false);
  FFlushed = AOther.FFlushed;
  FFlushErrno = AOther.FFlushErrno;
  return *this;
}

TReceivedFile::~TReceivedFile() {
  CloseFd();
  if (FRemove) ::unlink(FTempPath.c_str());
}

bool TReceivedFile::Create() {
  FFd = ::open(FTempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (FFd < 0) return false;
  FRemove = true;
  return true;
}

bool TReceivedFile::CloseFd() {
  if (FFd < 0) return true;
  const int rc = ::close(FFd);
  FFd = -1;
  return rc == 0 || errno == EINTR;
}

void TReceivedFile::SetModifiedTime(double AModifiedUtc) const {
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // access time untouched
  times[1].tv_sec = static_cast<time_t>(Core::DayCountToUnixSeconds(AModifiedUtc));
  times[1].tv_nsec = 0;
  if (FFd >= 0) ::futimens(FFd, times);
}

void TReceivedFile::StartWriteOut() const {
  if (FFd >= 0) ::sync_file_range(FFd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void TReceivedFile::Flush() {
  // fdatasync waits for this file alone, so another program's unwritten data on the same disk
  // (a film being copied) costs us nothing. EINVAL: a file system that cannot sync at all,
  // where there is nothing better to do.
  FFlushErrno = FFd >= 0 && ::fdatasync(FFd) != 0 && errno != EINVAL ? errno : 0;
  FFlushed = true;
}

std::optional<uint64_t> UnwrittenBytes() {
  const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[8192];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  text[n] = '\0';
  uint64_t total = 0;
  for (const char* key : {"\nDirty:", "\nWriteback:"}) {
    const char* at = std::strstr(text, key);
    if (!at) return std::nullopt;
    total += std::strtoull(at + std::strlen(key), nullptr, 10) * 1024;  // said in kB
  }
  return total;
}

bool TReceivedFile::FlushInOnePass(std::span<TReceivedFile* const> AFiles,
                                   uint64_t AUnwrittenBytes) {
  if (AFiles.empty()) return true;
  uint64_t ours = 0;
  dev_t device = 0;
  for (const TReceivedFile* file : AFiles) {
    struct stat st;
    if (file->FFd < 0 || ::fstat(file->FFd, &st) != 0) return false;
    if (file != AFiles.front() && st.st_dev != device) return false;
    device = st.st_dev;
    ours += static_cast<uint64_t>(st.st_blocks) * 512;
  }
  if (AUnwrittenBytes > ours + OthersUnwrittenBytes) return false;
  if (::syncfs(AFiles.front()->FFd) != 0) return false;
  // The pass wrote every file out; waiting on each file's own pages, done already, still
  // reports the write errors that file met.
  constexpr unsigned WaitForWrite =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  for (TReceivedFile* file : AFiles) {
    file->FFlushErrno =
        ::sync_file_range(file->FFd, 0, 0, WaitForWrite) != 0 && errno != EINVAL ? errno : 0;
    file->FFlushed = true;
  }
  return true;
}

bool TReceivedFile::Finish() {
  // On disk before it takes the final name: after a power cut the target holds either the old
  // content or the whole new one, never an empty file that peers would take for the new one.
  if (!FFlushed) Flush();
  if (FFlushErrno != 0) throw FileError(FFlushErrno, "Unable to write to", FTempPath);
  if (!CloseFd()) throw FileError(errno, "Unable to write to", FTempPath);
  // rename(2) replaces an existing file atomically, so the target never goes missing. It
  // fails when the target is a folder; the complete temporary file then stays beside it.
  FRemove = false;
  return ::rename(FTempPath.c_str(), FTargetPath.c_str()) == 0;
}

std::optional<TReceivedFile> ReceiveFile(const RawUtf8& AHost, uint16_t APort,
                                         const RawUtf8& ARelPath,
                                         const TTransferProgressProc& AProgress,
                                         const std::string& ALocalPath,
                                         const std::atomic<bool>* ACancel, bool* AOutOfTime) {
  if (AOutOfTime) *AOutOfTime = false;
  TConnection conn = ConnectToPeer(AHost, APort);
  if (!conn) return std::nullopt;
  struct TOutOfTime {
    const TConnection& Conn;
    bool* Out;
    ~TOutOfTime() {
      if (Out && Conn.Connected()) *Out = Conn.OutOfTime();
    }
  } outOfTime{conn, AOutOfTime};

  // A failed send shows up as a failed read of the size just below.
  WriteGetFileRequest(conn, ARelPath);
  const std::optional<int64_t> announced = ReadFileReplySize(conn);
  if (!announced || *announced < 0) return std::nullopt;  // -1: the peer has no such file
  const int64_t size = *announced;
  // From here on a cancel also ends a wait for the next block.
  conn.SetCancel(ACancel);

  // Local file errors are the caller's to see, but only after the peer has been let go.
  const auto fail = [&conn](const std::system_error& AError) {
    conn.Close();
    throw AError;
  };

  // The folder nearly always exists: it is made only when the file cannot be created for
  // want of it (ENOTDIR: a file stands where a folder on the way should be, said as such).
  TReceivedFile temp(ALocalPath);
  if (!temp.Create()) {
    const std::string dir = DirectoryPart(ALocalPath);
    if ((errno != ENOENT && errno != ENOTDIR) || dir.empty())
      fail(FileError(errno, "Unable to create", temp.FTempPath));
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) fail(FileError(ec.value(), "Unable to create folder", dir));
    if (!temp.Create()) fail(FileError(errno, "Unable to create", temp.FTempPath));
  }

  // One buffer per download: memory use does not grow with the file size.
  const auto buffer = std::make_unique<uint8_t[]>(TransferChunk);
  int64_t remaining = size;
  while (remaining > 0) {
    if (ACancel && ACancel->load(std::memory_order_relaxed)) return std::nullopt;
    const size_t block = static_cast<size_t>(std::min<int64_t>(remaining, TransferChunk));
    // A cut connection or a cancel: the temporary file goes away with `temp`.
    if (!conn.Read(buffer.get(), block)) return std::nullopt;
    // A partial temporary file is never of use, so a write error removes it as well.
    if (!WriteAll(temp.FFd, buffer.get(), block))
      fail(FileError(errno, "Unable to write to", temp.FTempPath));
    remaining -= static_cast<int64_t>(block);
    if (AProgress) AProgress(size - remaining, size);
  }
  conn.Close();
  // A large file starts being written out now: by the time Finish waits for the disk, most of
  // it is there. Small ones are left to go out together with the files received beside them.
  // Writing a large one out in steps while it arrives was measured slower in the two-peer lab
  // in every paired run: its writes compete there with the sender's reads of the same disk.
  if (size >= EarlyWriteOutBytes) temp.StartWriteOut();
  return temp;
}

bool DownloadFile(const RawUtf8& AHost, uint16_t APort, const RawUtf8& ARelPath,
                  const TTransferProgressProc& AProgress, const std::string& ALocalPath,
                  const std::atomic<bool>* ACancel) {
  auto received = ReceiveFile(AHost, APort, ARelPath, AProgress, ALocalPath, ACancel);
  return received && received->Finish();
}

void SendDeleteNotify(const RawUtf8& AHost, uint16_t APort, const RawUtf8& ARelPath) {
  if (TConnection conn = ConnectToPeer(AHost, APort)) WriteDeleteNotify(conn, ARelPath);
}

void SendChangesNotify(const RawUtf8& AHost, uint16_t APort) {
  if (TConnection conn = ConnectToPeer(AHost, APort)) WriteChangesNotify(conn);
}

void SendClipboardText(const RawUtf8& AHost, uint16_t APort, const RawUtf8& AText) {
  if (TConnection conn = ConnectToPeer(AHost, APort)) WriteClipboardText(conn, AText);
}

bool SendScreenFrame(const RawUtf8& AHost, uint16_t APort, const RawUtf8& APeerName,
                     const TBytes& AData) {
  TConnection conn = ConnectToPeer(AHost, APort);
  return conn && WriteScreenFrame(conn, APeerName, AData);
}

}  // namespace Pondar::Net
