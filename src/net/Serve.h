// What the server does with each request once its type byte has been read: serves the file list
// and the files of the shared folder, and turns notices, clipboard text and screen frames into
// events. Works on streams, so each request can be served from memory as well as from a
// connection; the server (net/TcpServer.h) only accepts, reads type bytes and dispatches.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/Types.h"
#include "net/Messages.h"
#include "net/Stream.h"

namespace Pondar::Fs {
class TFileList;
}

namespace Pondar::Net {

using TOnDeleteNotify = std::function<void(const RawUtf8& ARelPath)>;
// The notice carries nothing but its type: the peer is known by the address it came from.
using TOnChangesNotify = std::function<void(const RawUtf8& APeerIP)>;
using TOnClipboardNotify = std::function<void(const RawUtf8& AText)>;
// A frame names its sender, and any host can write any name: APeerIP, the address the frame
// came from, is what lets the receiver tell whose it really is.
using TOnScreenFrameNotify =
    std::function<void(const RawUtf8& APeerIP, const RawUtf8& APeerName, const TBytes& AData)>;

// What serving types 1 to 5 needs: the shared folder and its list, and the events. Read only
// while requests are served. Without a list the server shares an empty one; without a folder it
// has no file to give. An event left empty drops its notices.
struct TServeContext {
  std::string RootDir;
  std::shared_ptr<Fs::TFileList> Files;
  TOnDeleteNotify OnDeleteNotify;
  TOnChangesNotify OnChangesNotify;
  TOnClipboardNotify OnClipboardNotify;
};

// Serves one request of type 1 to 5 from APeerIP: reads its body from AIn, writes the reply (if
// the type has one) to AOut, raises its event. Returns when the request is done or the streams
// failed; the caller then closes the connection. Events run on the calling thread; an exception
// from one goes to the caller. Other types are ignored.
void ServeRequest(TMessageType AType, TInStream& AIn, TOutStream& AOut, const RawUtf8& APeerIP,
                  const TServeContext& AContext);

// Reads one screen frame (type 6) from APeerIP off AIn and hands it to AOnFrame, unless the
// frame is broken or empty, or AWanted() says no by the time it is whole (the server is
// stopping).
void ReceiveFrame(TInStream& AIn, const RawUtf8& APeerIP, const TOnScreenFrameNotify& AOnFrame,
                  const std::function<bool()>& AWanted);

}  // namespace Pondar::Net
