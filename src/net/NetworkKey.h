// The network key of keyed mode: one text shared by every peer of a group, from which the keys
// of the wire are derived. Peers with the same text find each other and talk over TLS; every
// other host is neither seen nor served.
//
// A generated key (NewNetworkKey) is 128 random bits written in Crockford's base32 with a
// 12-bit check, seven groups of four: "7QH2-M0XA-...". It is strong as it is and is used
// unstretched. Any other text is a typed key: it is stretched with scrypt (fixed parameters and
// a salt naming the protocol, so that every peer gets the same result) to make guessing costly,
// though a short typed key stays guessable. Either way HKDF-SHA256 splits the result into the
// datagram MAC key and the TLS 1.3 external PSK, so that neither key says anything of the other.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace Pondar::Net {

using TKeyBytes = std::array<uint8_t, 32>;

struct TNetworkKey {
  TKeyBytes Datagram;  // HMAC-SHA256 key of keyed discovery datagrams
  TKeyBytes Stream;    // the TLS 1.3 external PSK of every keyed connection
};

// A fresh generated key from the system's random generator (OpenSSL's, seeded by the kernel).
// Throws std::runtime_error when the generator cannot give bytes.
std::string NewNetworkKey();

// True when AText is a generated key as NewNetworkKey writes it: letters in either case, the
// look-alikes O, I and L read as 0, 1 and 1, the groups split by '-' or blanks, and the check
// holds. Blanks around the text do not count.
bool IsGeneratedNetworkKey(std::string_view AText);

// What is wrong with AText as a key, without any stretching: empty when it is usable. Refused
// are a text that is empty or blank, a typed key of fewer than MinTypedKeyChars characters, and
// a text of the generated key's shape whose check fails (a typing error in a generated key
// would otherwise become another, weaker key and silently lock the peer out of its group).
inline constexpr size_t MinTypedKeyChars = 8;
std::string NetworkKeyProblem(std::string_view AText);

// Derives both keys from AText (blanks around it do not count). On success fills AKey and
// returns an empty text; otherwise returns NetworkKeyProblem's text, or the failure of OpenSSL,
// and leaves AKey as it was. A typed key costs 0.15 to 0.2 s of one core and ScryptMemoryBytes
// (2 MiB) of memory, freed on return but counted in the peak resident size; a generated key
// costs microseconds. Blocks for that long: call it where a pause is acceptable (Start).
std::string DeriveNetworkKey(std::string_view AText, TNetworkKey& AKey);

// The stretching's parameters: every peer must use the same ones, so they are part of the
// protocol. N * r * 128 bytes is the memory scrypt needs, kept small because the peer's peak
// resident size counts it.
inline constexpr uint64_t ScryptN = 1u << 11;
inline constexpr uint32_t ScryptR = 8;
inline constexpr uint32_t ScryptP = 32;
inline constexpr size_t ScryptMemoryBytes = ScryptN * ScryptR * 128;

}  // namespace Pondar::Net
