// The answering side of the TCP protocol: serves the file list and files of the shared folder
// and turns notices, clipboard text and screen frames into events.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/Types.h"
#include "core/Worker.h"
#include "net/Protocol.h"
#include "net/Socket.h"

namespace Pondar::Net {

using TOnDeleteNotify = std::function<void(const RawUtf8& ARelPath)>;
using TOnChangesNotify = std::function<void(const RawUtf8& APeerIP, uint16_t ATcpPort)>;
using TOnClipboardNotify = std::function<void(const RawUtf8& AText)>;
using TOnScreenFrameNotify = std::function<void(const RawUtf8& APeerName, const TBytes& AData)>;

// Owner's protocol: create, assign the events, Start; to stop, Shutdown then WaitFor.
// Types 1 to 5 are handled strictly one after another (their events are raised on one thread);
// each screen frame is received on a thread of its own, and no OnScreenFrame call runs after
// the server has been destroyed. The list behind AEntries is only read, under *AEntriesLock;
// both must outlive the server.
class TTcpServerThread : public Core::TWorkerThread {
 public:
  TTcpServerThread(uint16_t APort, std::string ARootDir, const Core::TFileEntries* AEntries,
                   Core::TLightLock* AEntriesLock);
  ~TTcpServerThread() override;

  // Sets the terminate flag and wakes the blocked accept; returns at once.
  void Shutdown();
  // The port actually listened on (useful with port 0), 0 until listening or when it failed.
  uint16_t BoundPort() const;

  TOnDeleteNotify OnDeleteNotify;
  TOnChangesNotify OnChangesNotify;
  TOnClipboardNotify OnClipboardNotify;
  TOnScreenFrameNotify OnScreenFrame;

 protected:
  void Execute() override;
};

}  // namespace Pondar::Net
