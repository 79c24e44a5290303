// Finding peers by UDP broadcast: announce, answer, keep a table, drop the silent.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/Types.h"
#include "core/Worker.h"
#include "net/Messages.h"
#include "net/Socket.h"

namespace Pondar::Net {

using Core::TPeerInfo;
using Core::TPeerInfoDynArray;

// Receives a copy of the table entry; runs on the discovery thread.
using TOnPeerEvent = std::function<void(const TPeerInfo& APeer)>;

// Owner's protocol: create, assign OnPeerDiscovered/OnPeerLost, Start. To stop: SendGoodbye
// (any thread, while running), Terminate, WaitFor (Terminate wakes the loop's wait at once).
// Both events are raised after FPeerLock is released: their handlers may read the table.
//
// Announcements and the goodbye go to 255.255.255.255 and to the directed broadcast address of
// every interface that is up and can broadcast, read afresh for each one: the limited broadcast
// leaves by one interface only, and interfaces come and go while the program runs.
//
// The address a peer is reached at. Anyone can put any name in a datagram, so an entry belongs
// to the address it was first heard at: only a datagram from that address changes what the
// entry says (its TCP port, its clock reading) or removes it by goodbye, while a datagram under
// its name from elsewhere only keeps it alive. Once that address has been silent for
// PeerTimeoutMs, the next datagram under the name takes the entry over, address and all. So a
// host that borrows the name of a peer that is still talking can neither send its traffic to
// another port nor make us forget it; and a peer on two of our networks, heard at both in every
// round of announcements, stays one entry at one address instead of flipping with each datagram
// (which would move its TCP traffic, and the lookup of its notices by source address, between
// networks at random), yet is followed to the other network once the first goes quiet.
//
// Announcing and pruning keep their own time, whatever arrives: a datagram every few hundred
// milliseconds (a busy network, or a host doing it on purpose) must not stop this peer being
// heard, nor keep a vanished one in the table.
//
// The table holds at most Core::Limits::MaxPeers entries. A name heard while it is full is
// answered but not added; that the table is full is reported once per run through OnProblem.
//
// With a network key (DatagramKey) every datagram sent is keyed (net/Messages.h), and only keyed
// datagrams with our key's tag and a clock reading within MaxKeyedClockSkewSeconds of ours are
// heard; a goodbye is also refused when its reading is older than the entry's last one, so that
// a goodbye recorded and replayed within those seconds cannot remove a peer that came back. A
// datagram of a host with no key or another key, and a keyed one whose clock is off, are
// reported through OnProblem at most once per KeyWarningEveryMs per address (and for at most
// Core::Limits::MaxWarnedAddresses addresses at once), so that such a host cannot fill the log.
//
// The thread binds 0.0.0.0 on the UDP port without any address-reuse option, so a second
// instance on the same port fails to bind and stays silent on the network: it never announces,
// its table stays empty and SendGoodbye does nothing; the failure is reported once through
// OnProblem. Sends are single attempts, their failures unreported. An event handler that throws
// is reported through OnProblem and costs only the datagram or prune that raised it.
class TDiscoveryThread : public Core::TWorkerThread {
 public:
  // Peers silent for longer than this many milliseconds are dropped (exactly this long stays);
  // an entry whose address has been silent for longer may be taken over from another.
  static constexpr uint64_t PeerTimeoutMs = 15000;
  // The loop's own clock, counted from start-up: a prune every PruneEveryMs and an announcement
  // every AnnounceEveryMs (about 5.1 s), datagrams handled as they come in between.
  static constexpr uint64_t PruneEveryMs = 512;
  static constexpr uint64_t AnnounceEveryMs = 10 * PruneEveryMs;
  static constexpr size_t ReceiveBufferSize = 65536;
  // A recorded keyed datagram is refused this long after it was made; peers' clocks must agree
  // as closely, which a LAN's time service keeps them to by far.
  static constexpr double MaxKeyedClockSkewSeconds = 30;
  static constexpr uint64_t KeyWarningEveryMs = 60000;

  // ATick replaces the monotonic clock that stamps and ages entries, in tests; empty means the
  // real one. The loop's announcing and pruning keep to the real clock either way.
  TDiscoveryThread(RawUtf8 AName, uint16_t AUdpPort, uint16_t ATcpPort,
                   Core::TTickSource ATick = {});
  // Terminates the thread, waits for it, then closes the socket.
  ~TDiscoveryThread() override;

  // One goodbye broadcast. Safe from any thread while the discovery thread runs; the socket
  // lives until the destructor, so it cannot close under this call. Nothing without a socket.
  void SendGoodbye();
  // A copy of the table, in insertion order.
  TPeerInfoDynArray GetPeerList() const;
  // The number of entries.
  int32_t PeerCount() const;
  // The UDP port once the socket is bound and ready; 0 before that and when binding failed.
  uint16_t BoundPort() const { return FBoundPort.load(std::memory_order_acquire); }

  TOnPeerEvent OnPeerDiscovered;  // raised after the peer is in the table
  TOnPeerEvent OnPeerLost;        // raised after the peer is out of the table
  // Keyed mode, set before Start: the key of the datagrams' tags. Empty: plain datagrams, byte
  // for byte as without this mode.
  std::optional<TKeyBytes> DatagramKey;
  // The UTC clock (a day count, as Core::CurrentUtcTime) that keyed datagrams are stamped with
  // and checked against; empty means the real one. For tests.
  std::function<double()> UtcClock;

 protected:
  void Execute() override;

  // The loop's steps, reachable by tests without a socket or a network.
  // Handles one received datagram from ASource: parse, drop our own, upsert/reply/goodbye.
  // Reports through OnProblem the first time a new name finds the table full.
  void HandleDatagram(const uint8_t* AData, size_t ACount, const sockaddr_in& ASource);
  // Drops every peer silent for more than PeerTimeoutMs at tick ATick.
  void Prune(uint64_t ATick);

 private:
  uint64_t Now() const;
  double Utc() const;
  // Reads a keyed datagram from AIp into APacket: false, reported as the header says, when it is
  // not to be heard.
  bool AcceptKeyed(const uint8_t* AData, size_t ACount, const RawUtf8& AIp,
                   TDiscoveryPacket& APacket);
  // Reports AMsg about AIp unless that address had a report within KeyWarningEveryMs.
  void WarnAboutAddress(const RawUtf8& AIp, const RawUtf8& AMsg);
  // The datagram of AKind as this peer sends it now: keyed when there is a key.
  TBytes OwnDatagram(TDiscoveryKind AKind) const;
  void Upsert(const TDiscoveryPacket& APacket, const RawUtf8& AIp);
  void Goodbye(const TDiscoveryPacket& APacket, const RawUtf8& AIp);
  // Removes entry AIndex of the table; FPeerLock is held.
  void Erase(size_t AIndex);
  // Raises OnPeerLost for each of ALost, in order; FPeerLock is not held.
  void ReportLost(const TPeerInfoDynArray& ALost);
  void SendPacket(TDiscoveryKind AKind, const sockaddr_in& ATarget);
  // One datagram to 255.255.255.255 and to every interface's broadcast address.
  void Broadcast(TDiscoveryKind AKind);

  const RawUtf8 FName;
  // FName as it goes on the wire (cut to 255 bytes). Our own broadcasts come back with this
  // name, so it, not FName, is what received names are compared with.
  const RawUtf8 FWireName;
  const uint16_t FUdpPort;
  const uint16_t FTcpPort;
  // Owned by the discovery thread while it sets the socket up; published through FSockFd once
  // bound and configured, then left alone until the destructor closes it after the thread ended.
  TSocket FSock;
  std::atomic<int> FSockFd{-1};
  std::atomic<uint16_t> FBoundPort{0};
  TPeerInfoDynArray FPeers;
  // For each entry of FPeers, index for index: the tick its IP was last heard at.
  std::vector<uint64_t> FAddressHeard;
  mutable Core::TLightLock FPeerLock;  // guards FPeers and FAddressHeard
  bool FFullReported = false;          // the thread that handles datagrams only
  // When each address was last reported for its key or clock; the datagram thread only.
  std::unordered_map<RawUtf8, uint64_t> FWarnedAt;
  sockaddr_in FBroadcastAddr{};        // written before FSockFd is published, read-only after
  const Core::TTickSource FTick;
};

}  // namespace Pondar::Net
