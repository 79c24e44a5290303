// Finding peers by UDP broadcast: announce, answer, keep a table, drop the silent.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>

#include "core/Types.h"
#include "core/Worker.h"
#include "net/Protocol.h"
#include "net/Socket.h"

namespace Pondar::Net {

using Core::TPeerInfo;
using Core::TPeerInfoDynArray;

// Receives a copy of the table entry; runs on the discovery thread.
using TOnPeerEvent = std::function<void(const TPeerInfo& APeer)>;

// Owner's protocol: create, assign OnPeerDiscovered/OnPeerLost, Start. To stop: SendGoodbye
// (any thread, while running), Terminate, WaitFor (the loop notices within one 512 ms wait).
// OnPeerLost runs while FPeerLock is held: its handler must not call GetPeerList or PeerCount.
class TDiscoveryThread : public Core::TWorkerThread {
 public:
  // ATick replaces the monotonic clock in tests; empty means the real one.
  TDiscoveryThread(RawUtf8 AName, uint16_t AUdpPort, uint16_t ATcpPort,
                   Core::TTickSource ATick = {});
  ~TDiscoveryThread() override;

  void SendGoodbye();
  TPeerInfoDynArray GetPeerList() const;
  int32_t PeerCount() const;

  TOnPeerEvent OnPeerDiscovered;  // raised after FPeerLock is released
  TOnPeerEvent OnPeerLost;        // raised while FPeerLock is held

  // ... (the implementation adds what it needs below; tests may drive HandleDatagram/Prune)
 protected:
  void Execute() override;
};

}  // namespace Pondar::Net
