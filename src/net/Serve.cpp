#include "net/Serve.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/FileList.h"

namespace Pondar::Net {

namespace {

// Closes a file descriptor on every way out of the block that opened it.
struct TFileCloser {
  int Fd;
  ~TFileCloser() { ::close(Fd); }
};

// Open failures that mean "there is no such file" rather than "it cannot be opened".
bool MeansMissing(int AErrno) {
  return AErrno == ENOENT || AErrno == ENOTDIR || AErrno == ENAMETOOLONG || AErrno == ELOOP;
}

void ServeFileList(TOutStream& AOut, Fs::TFileList* AFiles) {
  // Encoded once per change of the list, not once per request: the peers that pull it after
  // one change are sent the same bytes. Writers of the list wait only for the encoding, never
  // for the network.
  const std::shared_ptr<const TBytes> list =
      AFiles ? AFiles->Encoded(EncodeFileList) : std::make_shared<const TBytes>(EncodeFileList({}));
  WriteFileListReply(AOut, *list);
}

void ServeFile(TInStream& AIn, TOutStream& AOut, const std::string& ARootDir) {
  const std::optional<RawUtf8> relPath = ReadGetFileRequest(AIn);
  if (!relPath) return;

  // Joined as text, never as a path object: a leading "/" in the request must stay below the
  // shared folder. Without a shared folder there is nothing to serve; the empty path is the
  // folder itself, answered as every folder is.
  if (ARootDir.empty() || relPath->empty()) {
    WriteMissingFileReply(AOut);
    return;
  }
  std::string local = ARootDir;
  if (local.back() != '/') local += '/';
  local += *relPath;

  // O_NONBLOCK: opening a FIFO that sits in the shared folder must not hang the request.
  const int fileFd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fileFd < 0) {
    if (MeansMissing(errno)) WriteMissingFileReply(AOut);
    return;  // exists but cannot be opened: the connection is closed without a reply
  }
  const TFileCloser closer{fileFd};
  struct stat st {};
  if (::fstat(fileFd, &st) != 0) return;
  if (!S_ISREG(st.st_mode)) {
    // A folder (or a device, a FIFO, ...) is not a file that can be shared.
    WriteMissingFileReply(AOut);
    return;
  }
  ::posix_fadvise(fileFd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // A read error, or a file that shrank meanwhile, closes the connection: the requester sees a
  // short body.
  WriteFileReply(AOut, fileFd, st.st_size);
}

}  // namespace

void ServeRequest(TMessageType AType, TInStream& AIn, TOutStream& AOut, const RawUtf8& APeerIP,
                  const TServeContext& AContext) {
  switch (AType) {
    case TMessageType::mtFileList:
      ServeFileList(AOut, AContext.Files.get());
      break;
    case TMessageType::mtGetFile:
      ServeFile(AIn, AOut, AContext.RootDir);
      break;
    case TMessageType::mtDeleteNotify:
      if (const auto path = ReadDeleteNotify(AIn); path && AContext.OnDeleteNotify)
        AContext.OnDeleteNotify(*path);
      break;
    case TMessageType::mtChangesNotify:
      if (AContext.OnChangesNotify) AContext.OnChangesNotify(APeerIP);
      break;
    case TMessageType::mtClipboard:
      // An empty text says nothing: the clipboard it came from held no text.
      if (const auto text = ReadClipboardText(AIn);
          text && !text->empty() && AContext.OnClipboardNotify)
        AContext.OnClipboardNotify(*text);
      break;
    default:
      break;
  }
}

void ReceiveFrame(TInStream& AIn, const RawUtf8& APeerIP, const TOnScreenFrameNotify& AOnFrame,
                  const std::function<bool()>& AWanted) {
  const std::optional<TScreenFrameMessage> frame = ReadScreenFrame(AIn);
  if (frame && !frame->Data.empty() && AWanted()) AOnFrame(APeerIP, frame->PeerName, frame->Data);
}

}  // namespace Pondar::Net
