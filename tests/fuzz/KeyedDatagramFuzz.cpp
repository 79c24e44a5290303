// Fuzz target: a received keyed discovery datagram.
//
// The input is looked at twice. As it is, it goes through the keyed reader, whose verdict is
// checked against the layout (a valid datagram must rebuild to exactly the input). Then with a
// tag appended, made with OpenSSL's EVP_MAC rather than the code under test, so that the fuzzer
// reaches past the tag: that datagram must be valid exactly when its fields are whole, and with
// one bit of its tag flipped never. Both go to a keyed discovery table (never started, so it has
// no socket), whose entries must follow the rules: only a valid, fresh announcement or reply
// under another name than ours adds a peer, and a host is reported at most once a minute.
#include <netinet/in.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "net/Discovery.h"
#include "net/Messages.h"

namespace {

using Pondar::Core::TBytes;
using Pondar::Net::BuildKeyedDiscoveryPacket;
using Pondar::Net::DiscoveryHeaderSize;
using Pondar::Net::DiscoveryTagSize;
using Pondar::Net::MakeIpv4Address;
using Pondar::Net::ParseDiscoveryPacket;
using Pondar::Net::ParseKeyedDiscoveryPacket;
using Pondar::Net::TDiscoveryKind;
using Pondar::Net::TDiscoveryPacket;
using Pondar::Net::TDiscoveryThread;
using Pondar::Net::TKeyBytes;
using Pondar::Net::TKeyedDatagram;

constexpr double OurClock = 45000.5;  // the table's UTC day count; the seeds are stamped with it
const char* const OwnName = "fuzz-self";

TKeyBytes FuzzKey() {
  TKeyBytes key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i + 1);
  return key;
}

// HMAC-SHA256 through EVP_MAC, cut to the tag's size.
TBytes ReferenceTag(const uint8_t* AData, size_t ASize) {
  static const TKeyBytes key = FuzzKey();
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX* context = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_end()};
  uint8_t out[EVP_MAX_MD_SIZE];
  size_t outSize = 0;
  const bool ok = context && EVP_MAC_init(context, key.data(), key.size(), params) == 1 &&
                  EVP_MAC_update(context, AData, ASize) == 1 &&
                  EVP_MAC_final(context, out, &outSize, sizeof out) == 1;
  EVP_MAC_CTX_free(context);
  EVP_MAC_free(mac);
  FUZZ_REQUIRE(ok && outSize >= DiscoveryTagSize, "the reference HMAC can be computed");
  return TBytes(out, out + DiscoveryTagSize);
}

// Magic "PNDK", a known kind, and exactly the name's bytes before ATagBytes of tag.
bool WholeKeyedLayout(const uint8_t* AData, size_t ASize, size_t ATagBytes) {
  return ASize >= DiscoveryHeaderSize + ATagBytes && std::memcmp(AData, "PNDK", 4) == 0 &&
         AData[4] >= 1 && AData[4] <= 3 && ASize == DiscoveryHeaderSize + AData[15] + ATagBytes;
}

class TFuzzDiscovery : public TDiscoveryThread {
 public:
  explicit TFuzzDiscovery(uint64_t* AClock)
      : TDiscoveryThread(OwnName, 7731, 7732, [AClock] { return *AClock; }) {
    DatagramKey = FuzzKey();
    UtcClock = [] { return OurClock; };
    OnProblem = [this](const std::string&) { ++Problems; };
  }
  using TDiscoveryThread::HandleDatagram;
  void Feed(const TBytes& ABytes, const char* AIp) {
    sockaddr_in from{};
    MakeIpv4Address(AIp, 40000, from);
    HandleDatagram(ABytes.data(), ABytes.size(), from);
  }
  int Problems = 0;
};

// The reader's verdict on ABytes, checked against the layout.
TKeyedDatagram Read(const TBytes& ABytes, TDiscoveryPacket& AOut) {
  AOut = TDiscoveryPacket{};
  AOut.Name = "left over";
  const TKeyedDatagram verdict =
      ParseKeyedDiscoveryPacket(ABytes.data(), ABytes.size(), FuzzKey(), AOut);
  TDiscoveryPacket plain;
  const bool isPlain = ParseDiscoveryPacket(ABytes.data(), ABytes.size(), plain);
  const bool whole = WholeKeyedLayout(ABytes.data(), ABytes.size(), DiscoveryTagSize);
  FUZZ_REQUIRE((verdict == TKeyedDatagram::Invalid) == (!isPlain && !whole),
               "only a plain datagram or a whole keyed one is more than invalid");
  if (verdict != TKeyedDatagram::Valid) {
    FUZZ_REQUIRE(AOut.Name.empty(), "a refused datagram leaves no name behind");
    return verdict;
  }
  FUZZ_REQUIRE(!isPlain, "a valid keyed datagram is no plain one");
  const TBytes rebuilt =
      BuildKeyedDiscoveryPacket(AOut.Kind, AOut.TcpPort, AOut.Name, AOut.UtcTime, FuzzKey());
  FUZZ_REQUIRE(rebuilt == ABytes, "a valid keyed datagram rebuilds to exactly its bytes");
  return verdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const TBytes raw(AData, AData + ASize);
  TBytes signedOne = raw;
  const TBytes tag = ReferenceTag(AData, ASize);
  signedOne.insert(signedOne.end(), tag.begin(), tag.end());
  TBytes flipped = signedOne;
  flipped.back() ^= 0x01;

  TDiscoveryPacket packet;
  Read(raw, packet);
  FUZZ_REQUIRE(Read(flipped, packet) != TKeyedDatagram::Valid, "a flipped tag bit is refused");
  const TKeyedDatagram verdict = Read(signedOne, packet);
  FUZZ_REQUIRE((verdict == TKeyedDatagram::Valid) == WholeKeyedLayout(AData, ASize, 0),
               "fields that are whole, under our tag, are valid");

  uint64_t clock = 1000;
  TFuzzDiscovery table(&clock);
  // The input as it is, twice, from one address: heard or not, reported once at most.
  table.Feed(raw, "127.0.0.2");
  table.Feed(raw, "127.0.0.2");
  FUZZ_REQUIRE(table.Problems <= 1, "a host is reported once a minute at most");
  FUZZ_REQUIRE(table.PeerCount() <= 1, "one datagram adds one peer at most");
  const int32_t before = table.PeerCount();
  table.Feed(signedOne, "127.0.0.3");
  const bool fresh = std::fabs(packet.UtcTime - OurClock) * 86400.0 <= 30.0;
  const bool adds = verdict == TKeyedDatagram::Valid && packet.Kind != TDiscoveryKind::dkGoodbye &&
                    packet.Name != OwnName && fresh;
  if (before == 0) {
    FUZZ_REQUIRE(table.PeerCount() == (adds ? 1 : 0),
                 "only a valid, fresh announcement or reply of another peer adds it");
  }
  return 0;
}
