// Fuzz target: a received discovery datagram.
//
// The input is one datagram. It is parsed on its own and checked against the layout, then
// handled by a discovery table (a TDiscoveryThread that is never started, so it has no socket
// and sends nothing): announced, announced again from elsewhere, said goodbye to from elsewhere
// and from its own address, announced once more and left to expire. When the input holds the
// magic "PNDR" more than once, the pieces that start at each magic are also handled one after
// another from different addresses while the clock moves on, so that a table of several peers is
// built, updated, pruned and thinned by goodbyes. After every step the table and the events
// raised are compared with a small model of the rules. Every input gets fresh tables, so an
// input means the same whatever ran before it.
#include <netinet/in.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "core/Limits.h"
#include "net/Discovery.h"
#include "net/Messages.h"

namespace {

using Pondar::Core::RawUtf8;
using Pondar::Core::TBytes;
using Pondar::Core::TPeerInfo;
using Pondar::Core::TPeerInfoDynArray;
using Pondar::Net::BuildDiscoveryPacket;
using Pondar::Net::DiscoveryHeaderSize;
using Pondar::Net::DiscoveryWireName;
using Pondar::Net::MakeIpv4Address;
using Pondar::Net::MaxDiscoveryName;
using Pondar::Net::ParseDiscoveryPacket;
using Pondar::Net::TDiscoveryKind;
using Pondar::Net::TDiscoveryPacket;
using Pondar::Net::TDiscoveryThread;

constexpr uint8_t Magic[4] = {'P', 'N', 'D', 'R'};
constexpr uint64_t PeerTimeoutMs = TDiscoveryThread::PeerTimeoutMs;
// Longer than the 255 bytes a datagram carries, so our own echo is recognised by its cut name.
const RawUtf8 OwnName = "fuzz-own-name-" + RawUtf8(250, 'o');
// The clock starts just below the wrap of the 64-bit tick, so that expiry is also checked
// across the wrap, which the table's unsigned arithmetic is meant to make harmless.
constexpr uint64_t FirstTick = std::numeric_limits<uint64_t>::max() - 20000;
// Time between two pieces: a peer is dropped after four pieces of silence.
constexpr uint64_t PieceGapMs = 4000;
// More pieces add nothing the first ones did not cover, only time.
constexpr size_t MaxPieces = 64;

// Exposes the handling steps; its clock is read from a variable the target moves.
class TFuzzDiscovery : public TDiscoveryThread {
 public:
  explicit TFuzzDiscovery(uint64_t* AClock)
      : TDiscoveryThread(OwnName, 7731, 7732, [AClock] { return *AClock; }) {
    OnPeerDiscovered = [this](const TPeerInfo& APeer) { Found.push_back(APeer); };
    // Raised under the table's lock: only records, never reads the table.
    OnPeerLost = [this](const TPeerInfo& APeer) { Lost.push_back(APeer); };
  }
  using TDiscoveryThread::GetPeerList;
  using TDiscoveryThread::HandleDatagram;
  using TDiscoveryThread::Prune;

  TPeerInfoDynArray Found, Lost;  // events since the last check
};

// The table's rules, written out plainly.
struct TModel {
  TPeerInfoDynArray Peers, Found, Lost;
  std::vector<uint64_t> AddressHeard;  // per peer: when its kept address was last heard

  void Handle(const TDiscoveryPacket& APacket, const RawUtf8& AIp, uint64_t ATick) {
    if (APacket.Name == DiscoveryWireName(OwnName)) return;
    const auto it = std::find_if(Peers.begin(), Peers.end(), [&](const TPeerInfo& APeer) {
      return APeer.Name == APacket.Name;
    });
    const auto index = static_cast<size_t>(it - Peers.begin());
    if (APacket.Kind == TDiscoveryKind::dkGoodbye) {
      // Only the address an entry belongs to may say goodbye for it.
      if (it == Peers.end() || it->IP != AIp) return;
      Lost.push_back(*it);
      Peers.erase(it);
      AddressHeard.erase(AddressHeard.begin() + static_cast<std::ptrdiff_t>(index));
      return;
    }
    TPeerInfo seen{APacket.Name, AIp, APacket.TcpPort, static_cast<int64_t>(ATick),
                   APacket.UtcTime};
    if (it != Peers.end()) {
      // Any address keeps it alive; another one takes it over only once the kept one has been
      // silent for the time-out.
      if (it->IP == AIp || ATick - AddressHeard[index] > PeerTimeoutMs) {
        AddressHeard[index] = ATick;
        *it = seen;
      } else {
        it->LastSeenTick = seen.LastSeenTick;
      }
    } else if (Peers.size() < Pondar::Core::Limits::MaxPeers) {
      Peers.push_back(seen);
      AddressHeard.push_back(ATick);
      Found.push_back(seen);
    }
  }

  void Prune(uint64_t ATick) {
    for (auto it = Peers.begin(); it != Peers.end();) {
      if (ATick - static_cast<uint64_t>(it->LastSeenTick) > PeerTimeoutMs) {
        Lost.push_back(*it);
        AddressHeard.erase(AddressHeard.begin() + (it - Peers.begin()));
        it = Peers.erase(it);
      } else {
        ++it;
      }
    }
  }
};

// Field by field, the day count by its bits: a peer may announce a NaN, which is still a value
// the table must keep as received.
bool SamePeer(const TPeerInfo& A, const TPeerInfo& B) {
  return A.Name == B.Name && A.IP == B.IP && A.TcpPort == B.TcpPort &&
         A.LastSeenTick == B.LastSeenTick &&
         std::bit_cast<uint64_t>(A.UtcTime) == std::bit_cast<uint64_t>(B.UtcTime);
}

bool SamePeers(const TPeerInfoDynArray& A, const TPeerInfoDynArray& B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), SamePeer);
}

// Events of one step compared as sets: names in the table are unique, and the order in which
// one prune reports several lost peers is not promised.
bool SameEvents(TPeerInfoDynArray A, TPeerInfoDynArray B) {
  const auto byName = [](const TPeerInfo& X, const TPeerInfo& Y) { return X.Name < Y.Name; };
  std::sort(A.begin(), A.end(), byName);
  std::sort(B.begin(), B.end(), byName);
  return SamePeers(A, B);
}

// Parses one datagram and checks the result against the layout; true when it is valid.
bool ParseChecked(const uint8_t* AData, size_t ASize, TDiscoveryPacket& AOut) {
  AOut = TDiscoveryPacket{};
  AOut.Name = "left over";
  const bool parsed = ParseDiscoveryPacket(AData, ASize, AOut);
  const bool valid = ASize >= DiscoveryHeaderSize && std::memcmp(AData, Magic, 4) == 0 &&
                     AData[4] >= 1 && AData[4] <= 3 && ASize >= DiscoveryHeaderSize + AData[15];
  FUZZ_REQUIRE(parsed == valid, "a datagram parses exactly when its header and name are whole");
  if (!parsed) {
    FUZZ_REQUIRE(AOut.Name.empty(), "a refused datagram leaves no name behind");
    return false;
  }
  const size_t nameLen = AData[15];
  FUZZ_REQUIRE(AOut.Name.size() == nameLen, "the name is as long as its length byte says");
  FUZZ_REQUIRE(AOut.Name.size() <= MaxDiscoveryName, "a name never exceeds what one byte counts");
  FUZZ_REQUIRE(static_cast<uint8_t>(AOut.Kind) == AData[4], "the kind is the byte at offset 4");
  // Building the parsed fields again gives the bytes received, up to the end of the name.
  const TBytes rebuilt = BuildDiscoveryPacket(AOut.Kind, AOut.TcpPort, AOut.Name, AOut.UtcTime);
  FUZZ_REQUIRE(rebuilt.size() == DiscoveryHeaderSize + nameLen,
               "a rebuilt datagram is header plus name");
  FUZZ_REQUIRE(std::memcmp(rebuilt.data(), AData, rebuilt.size()) == 0,
               "a parsed datagram rebuilds to the same leading bytes");
  return true;
}

RawUtf8 SourceIp(size_t AIndex) {
  return "127.0." + std::to_string(1 + AIndex / 250) + "." + std::to_string(1 + AIndex % 250);
}

// Feeds one datagram to the table and the model, then compares them.
void Step(TFuzzDiscovery& ATable, TModel& AModel, uint64_t AClock, const uint8_t* AData,
          size_t ASize, const RawUtf8& AIp) {
  sockaddr_in from{};
  MakeIpv4Address(AIp, 40000, from);
  ATable.HandleDatagram(AData, ASize, from);
  TDiscoveryPacket packet;
  if (ParseChecked(AData, ASize, packet)) AModel.Handle(packet, AIp, AClock);
}

void PruneStep(TFuzzDiscovery& ATable, TModel& AModel, uint64_t ATick) {
  ATable.Prune(ATick);
  AModel.Prune(ATick);
}

void Compare(TFuzzDiscovery& ATable, TModel& AModel) {
  const TPeerInfoDynArray peers = ATable.GetPeerList();
  FUZZ_REQUIRE(SamePeers(peers, AModel.Peers), "the table holds what the rules say");
  for (const TPeerInfo& peer : peers)
    FUZZ_REQUIRE(peer.Name.size() <= MaxDiscoveryName, "a peer's name fits its length byte");
  FUZZ_REQUIRE(SameEvents(ATable.Found, AModel.Found), "OnPeerDiscovered for new peers only");
  FUZZ_REQUIRE(SameEvents(ATable.Lost, AModel.Lost), "OnPeerLost for dropped peers only");
  ATable.Found.clear();
  ATable.Lost.clear();
  AModel.Found.clear();
  AModel.Lost.clear();
}

// The whole input as one datagram, through every table rule once.
void OneDatagram(const uint8_t* AData, size_t ASize) {
  uint64_t clock = FirstTick;
  TFuzzDiscovery table(&clock);
  TModel model;
  Step(table, model, clock, AData, ASize, "127.0.0.1");
  Compare(table, model);

  // The same peer from another address a second later: updated in place, not added.
  clock += 1000;
  Step(table, model, clock, AData, ASize, "127.0.0.2");
  Compare(table, model);

  TDiscoveryPacket packet;
  if (ParseChecked(AData, ASize, packet) && packet.Kind != TDiscoveryKind::dkGoodbye) {
    // A goodbye from elsewhere changes nothing, its own removes it; announced again, it is back.
    const TBytes bye = BuildDiscoveryPacket(TDiscoveryKind::dkGoodbye, 1, packet.Name, 0.0);
    for (const char* from : {"127.0.0.3", "127.0.0.1"}) {
      Step(table, model, clock, bye.data(), bye.size(), from);
      Compare(table, model);
    }
    Step(table, model, clock, AData, ASize, "127.0.0.2");
    Compare(table, model);
  }

  // Exactly the time-out stays, a millisecond more is dropped.
  PruneStep(table, model, clock + PeerTimeoutMs);
  Compare(table, model);
  PruneStep(table, model, clock + PeerTimeoutMs + 1);
  Compare(table, model);
}

// The pieces starting at each magic, as datagrams from different peers' addresses.
void SeveralDatagrams(const uint8_t* AData, size_t ASize) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 4 <= ASize && starts.size() < MaxPieces; ++i)
    if (std::memcmp(AData + i, Magic, 4) == 0) starts.push_back(i);
  if (starts.size() < 2) return;  // one datagram has been covered already
  if (starts.front() != 0) starts.insert(starts.begin(), 0);

  uint64_t clock = FirstTick;
  TFuzzDiscovery table(&clock);
  TModel model;
  for (size_t i = 0; i < starts.size(); ++i) {
    const size_t end = i + 1 < starts.size() ? starts[i + 1] : ASize;
    clock += PieceGapMs;
    Step(table, model, clock, AData + starts[i], end - starts[i], SourceIp(i));
    PruneStep(table, model, clock);
    Compare(table, model);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  OneDatagram(AData, ASize);
  SeveralDatagrams(AData, ASize);
  return 0;
}
