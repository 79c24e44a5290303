#include "net/Discovery.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "core/Captions.h"
#include "core/Limits.h"
#include "net/Interfaces.h"

namespace Pondar::Net {

using Core::RunReportingErrors;

namespace {
constexpr const char* HandlerErrorContext = "Discovery, in a peer event handler";
}  // namespace

TDiscoveryThread::TDiscoveryThread(RawUtf8 AName, uint16_t AUdpPort, uint16_t ATcpPort,
                                   Core::TTickSource ATick)
    : TWorkerThread("Discovery"),
      FName(std::move(AName)),
      FWireName(DiscoveryWireName(FName)),
      FUdpPort(AUdpPort),
      FTcpPort(ATcpPort),
      FTick(std::move(ATick)) {}

TDiscoveryThread::~TDiscoveryThread() {
  // The loop may be inside its wait on the socket, so it has to end before the socket closes.
  Terminate();
  WaitFor();
  FSockFd.store(-1, std::memory_order_release);
  FSock.Close();
}

uint64_t TDiscoveryThread::Now() const {
  return FTick ? FTick() : Core::GetTickCount64();
}

double TDiscoveryThread::Utc() const {
  return UtcClock ? UtcClock() : Core::CurrentUtcTime();
}

TBytes TDiscoveryThread::OwnDatagram(TDiscoveryKind AKind) const {
  if (!DatagramKey) return BuildDiscoveryPacket(AKind, FTcpPort, FName);
  return BuildKeyedDiscoveryPacket(AKind, FTcpPort, FName, Utc(), *DatagramKey);
}

void TDiscoveryThread::SendGoodbye() {
  Broadcast(TDiscoveryKind::dkGoodbye);
}

TPeerInfoDynArray TDiscoveryThread::GetPeerList() const {
  std::lock_guard lock(FPeerLock);
  return FPeers;
}

int32_t TDiscoveryThread::PeerCount() const {
  std::lock_guard lock(FPeerLock);
  return static_cast<int32_t>(FPeers.size());
}

void TDiscoveryThread::SendPacket(TDiscoveryKind AKind, const sockaddr_in& ATarget) {
  const int fd = FSockFd.load(std::memory_order_acquire);
  if (fd < 0) return;
  const Core::TBytes packet = OwnDatagram(AKind);
  // Fire and forget: the next periodic announcement is the only retry.
  (void)::sendto(fd, packet.data(), packet.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&ATarget), sizeof ATarget);
}

void TDiscoveryThread::Broadcast(TDiscoveryKind AKind) {
  const int fd = FSockFd.load(std::memory_order_acquire);
  if (fd < 0) return;
  const Core::TBytes packet = OwnDatagram(AKind);
  std::vector<sockaddr_in> targets{FBroadcastAddr};
  // Read at every send: an interface that came up since the last one is covered by this one.
  for (const sockaddr_in& target : BroadcastTargets(ReadIpv4Interfaces(), FUdpPort))
    targets.push_back(target);
  // Each send on its own: one that fails (a network without a route, a firewall) leaves the
  // others to go; like every send here it is not retried until the next announcement.
  for (const sockaddr_in& target : targets)
    (void)::sendto(fd, packet.data(), packet.size(), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&target), sizeof target);
}

void TDiscoveryThread::Execute() {
  sockaddr_in local{};
  MakeIpv4Address("0.0.0.0", FUdpPort, local);
  TSocket sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  // No SO_REUSEADDR: a second instance on this machine must fail here. It stays silent on the
  // network, but its user learns why nobody is found.
  if (!sock || ::bind(sock.Fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ReportProblem("UDP port " + std::to_string(FUdpPort) + " cannot be opened (" +
                  std::strerror(errno) + "): no peers will be found");
    return;
  }
  const int on = 1;
  (void)::setsockopt(sock.Fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  MakeIpv4Address("255.255.255.255", FUdpPort, FBroadcastAddr);

  sockaddr_in bound{};
  socklen_t boundLen = sizeof bound;
  const uint16_t boundPort =
      ::getsockname(sock.Fd(), reinterpret_cast<sockaddr*>(&bound), &boundLen) == 0
          ? ntohs(bound.sin_port)
          : FUdpPort;
  FSock = std::move(sock);
  FSockFd.store(FSock.Fd(), std::memory_order_release);
  FBoundPort.store(boundPort, std::memory_order_release);

  // A newcomer introduces itself at once; the others answer by unicast.
  Broadcast(TDiscoveryKind::dkAnnounce);

  const auto buffer = std::make_unique<uint8_t[]>(ReceiveBufferSize);
  // Paced by the real clock, never by what arrives: the wait ends at the next prune however
  // many datagrams come in before it, and each one handled is followed by a look at the time.
  uint64_t lastPrune = Core::GetTickCount64();
  uint64_t lastAnnounce = lastPrune;
  while (!Terminated()) {
    const uint64_t now = Core::GetTickCount64();
    if (now - lastAnnounce >= AnnounceEveryMs) {
      lastAnnounce = now;
      Broadcast(TDiscoveryKind::dkAnnounce);
    }
    if (now - lastPrune >= PruneEveryMs) {
      lastPrune = now;
      RunReportingErrors([&] { Prune(Now()); }, HandlerErrorContext, OnProblem);
    }
    const uint64_t wait =
        std::min(PruneEveryMs - (now - lastPrune), AnnounceEveryMs - (now - lastAnnounce));
    // Without a wake-up descriptor (none could be made) a stop waits out one wait.
    pollfd pfd[2] = {{FSock.Fd(), POLLIN, 0}, {WakeFd(), POLLIN, 0}};
    const int ready = ::poll(pfd, WakeFd() >= 0 ? 2 : 1, static_cast<int>(wait));
    // Nothing to read: the wait expired, was interrupted, or the wake-up ends the loop.
    if (ready <= 0 || pfd[0].revents == 0) continue;
    sockaddr_in source{};
    socklen_t sourceLen = sizeof source;
    const ssize_t got = ::recvfrom(FSock.Fd(), buffer.get(), ReceiveBufferSize, 0,
                                   reinterpret_cast<sockaddr*>(&source), &sourceLen);
    // A failing event handler costs that one datagram; the peer keeps announcing.
    if (got > 0 && source.sin_family == AF_INET) {
      RunReportingErrors([&] { HandleDatagram(buffer.get(), static_cast<size_t>(got), source); },
                         HandlerErrorContext, OnProblem);
    }
  }
}

void TDiscoveryThread::HandleDatagram(const uint8_t* AData, size_t ACount,
                                      const sockaddr_in& ASource) {
  TDiscoveryPacket packet;
  const RawUtf8 ip = Ipv4Text(ASource);
  if (DatagramKey ? !AcceptKeyed(AData, ACount, ip, packet)
                  : !ParseDiscoveryPacket(AData, ACount, packet))
    return;
  // Our own broadcasts loop back; a peer with our name is indistinguishable from them.
  if (packet.Name == FWireName) return;
  switch (packet.Kind) {
    case TDiscoveryKind::dkAnnounce:
      Upsert(packet, ip);
      SendPacket(TDiscoveryKind::dkReply, ASource);
      break;
    case TDiscoveryKind::dkReply:
      Upsert(packet, ip);
      break;
    case TDiscoveryKind::dkGoodbye:
      Goodbye(packet, ip);
      break;
  }
}

bool TDiscoveryThread::AcceptKeyed(const uint8_t* AData, size_t ACount, const RawUtf8& AIp,
                                   TDiscoveryPacket& APacket) {
  switch (ParseKeyedDiscoveryPacket(AData, ACount, *DatagramKey, APacket)) {
    case TKeyedDatagram::Invalid:
      return false;
    case TKeyedDatagram::Foreign:
      WarnAboutAddress(AIp, Core::FormatCaption(Core::Captions::OtherNetworkKey, {AIp}));
      return false;
    case TKeyedDatagram::Valid:
      break;
  }
  // Our own datagrams carry our clock; only a peer's reading says anything.
  if (APacket.Name == FWireName) return true;
  const double skew = std::fabs(APacket.UtcTime - Utc()) * 86400.0;
  if (skew <= MaxKeyedClockSkewSeconds) return true;
  // Not finite, or beyond any clock: said as a large number rather than converted unchecked.
  const int64_t seconds = std::llround(std::isfinite(skew) ? std::min(skew, 1e12) : 1e12);
  WarnAboutAddress(AIp, Core::FormatCaption(Core::Captions::KeyedClockOff, {AIp, seconds}));
  APacket.Name.clear();
  return false;
}

void TDiscoveryThread::WarnAboutAddress(const RawUtf8& AIp, const RawUtf8& AMsg) {
  const uint64_t now = Now();
  auto at = FWarnedAt.find(AIp);
  if (at != FWarnedAt.end() && now - at->second < KeyWarningEveryMs) return;
  if (at == FWarnedAt.end() && FWarnedAt.size() >= Core::Limits::MaxWarnedAddresses) {
    std::erase_if(FWarnedAt,
                  [&](const auto& AEntry) { return now - AEntry.second >= KeyWarningEveryMs; });
    // Still full: that many hosts were reported within the minute already.
    if (FWarnedAt.size() >= Core::Limits::MaxWarnedAddresses) return;
  }
  FWarnedAt[AIp] = now;
  ReportProblem(AMsg);
}

void TDiscoveryThread::Upsert(const TDiscoveryPacket& APacket, const RawUtf8& AIp) {
  const uint64_t now = Now();
  const auto tick = static_cast<int64_t>(now);
  TPeerInfo added;
  bool full = false;
  {
    std::lock_guard lock(FPeerLock);
    for (size_t i = 0; i < FPeers.size(); ++i) {
      TPeerInfo& peer = FPeers[i];
      if (peer.Name != APacket.Name) continue;
      // Any datagram under its name keeps it alive; only its own address, or a newcomer once
      // that address has gone quiet, says where and how it is reached (see the header).
      peer.LastSeenTick = tick;
      if (peer.IP == AIp || now - FAddressHeard[i] > PeerTimeoutMs) {
        peer.IP = AIp;
        peer.TcpPort = APacket.TcpPort;
        peer.UtcTime = APacket.UtcTime;
        FAddressHeard[i] = now;
      }
      return;
    }
    full = FPeers.size() >= Core::Limits::MaxPeers;
    if (!full) {
      added = TPeerInfo{APacket.Name, AIp, APacket.TcpPort, tick, APacket.UtcTime};
      FPeers.push_back(added);
      FAddressHeard.push_back(now);
    }
  }
  if (full) {
    // Once a run: a host that keeps the table full must not also fill the log.
    if (!FFullReported) {
      FFullReported = true;
      ReportProblem("Discovery: " + std::to_string(Core::Limits::MaxPeers) +
                    " peers known, the most it keeps; no new peer is added until some fall "
                    "silent or say goodbye");
    }
    return;
  }
  // Outside the lock, so that the handler may read the table.
  if (OnPeerDiscovered) OnPeerDiscovered(added);
}

void TDiscoveryThread::Goodbye(const TDiscoveryPacket& APacket, const RawUtf8& AIp) {
  TPeerInfoDynArray lost;
  {
    std::lock_guard lock(FPeerLock);
    for (size_t i = FPeers.size(); i-- > 0;) {
      if (FPeers[i].Name != APacket.Name) continue;
      // Only from the address the entry belongs to: a name is no proof of who sends it. Keyed,
      // only a goodbye made after the entry's last datagram: an older one is a replay.
      if (FPeers[i].IP == AIp && !(DatagramKey && APacket.UtcTime < FPeers[i].UtcTime)) {
        lost.push_back(FPeers[i]);
        Erase(i);
      }
      break;
    }
  }
  ReportLost(lost);
}

void TDiscoveryThread::ReportLost(const TPeerInfoDynArray& ALost) {
  // Outside the lock, as for OnPeerDiscovered, so that the handler may read the table. The
  // peers are out of the table already: a failing handler must not cost the others their event.
  if (!OnPeerLost) return;
  for (const TPeerInfo& peer : ALost)
    RunReportingErrors([&] { OnPeerLost(peer); }, HandlerErrorContext, OnProblem);
}

void TDiscoveryThread::Erase(size_t AIndex) {
  FPeers.erase(FPeers.begin() + static_cast<std::ptrdiff_t>(AIndex));
  FAddressHeard.erase(FAddressHeard.begin() + static_cast<std::ptrdiff_t>(AIndex));
}

void TDiscoveryThread::Prune(uint64_t ATick) {
  TPeerInfoDynArray lost;
  {
    std::lock_guard lock(FPeerLock);
    for (size_t i = FPeers.size(); i-- > 0;) {
      // Unsigned, like every elapsed time here: a wrap of the tick counter changes nothing.
      if (ATick - static_cast<uint64_t>(FPeers[i].LastSeenTick) <= PeerTimeoutMs) continue;
      lost.push_back(FPeers[i]);
      Erase(i);
    }
  }
  ReportLost(lost);
}

}  // namespace Pondar::Net
