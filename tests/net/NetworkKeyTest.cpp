// The network key: texts against keys worked out apart from this code (Python's hashlib scrypt
// and an HKDF written out from RFC 5869), and the generator's keys read back.
#include "net/NetworkKey.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>

namespace {

using namespace Pondar::Net;

std::string Hex(const TKeyBytes& AKey) {
  std::string out;
  char two[3];
  for (const uint8_t byte : AKey) {
    std::snprintf(two, sizeof two, "%02x", byte);
    out += two;
  }
  return out;
}

// The generated key of the random bytes 00 01 .. 0F, and of sixteen FF bytes.
constexpr const char* kKeyOf0To15 = "000G-40R4-0M30-E209-185G-R38E-1YZ4";
constexpr const char* kDatagramOf0To15 =
    "b573e3e542c83c293dbcc3f3bd8f27b780030280e8cd4ae49ccf92cd78e1cb3b";
constexpr const char* kStreamOf0To15 =
    "b0b71ea636de7a55e1c619b1288365021a52f1a326c4fc152ff4b8b8e32c8cf8";

TEST(NetworkKeyTest, Derive_EveryKindOfText_TheKeysWorkedOutApart) {
  struct TCase {
    const char* What;
    std::string Text;
    const char* Datagram;  // empty: refused, with Problem at the start of the error
    const char* Stream;
    const char* Problem;
  };
  const TCase cases[] = {
      {"generated, as printed", kKeyOf0To15, kDatagramOf0To15, kStreamOf0To15, ""},
      {"generated, lower case, blanks between groups and around",
       "  000g 40r4 0m30 e209 185g r38e 1yz4\n", kDatagramOf0To15, kStreamOf0To15, ""},
      {"generated, look-alikes O, I and L", "OOOG-4OR4-OM3O-E2O9-185G-R38E-IYZ4",
       kDatagramOf0To15, kStreamOf0To15, ""},
      {"generated, not split", "000G40R40M30E209185GR38E1YZ4", kDatagramOf0To15, kStreamOf0To15,
       ""},
      {"typed: a generated key's characters, grouped otherwise",
       "000G4-0R40-M30E-2091-85GR-38E1-YZ4",
       "6fb9fa0da1587247c82710bf9f724710af7165fd84bace05f880650a63cd97af",
       "e60cc3ab93349a0c77f7f15c7912e71b6bcd23fbf29fe59251d84ddfd8c59764", ""},
      {"generated, all ones", "ZZZZ-ZZZZ-ZZZZ-ZZZZ-ZZZZ-ZZZZ-ZXDC",
       "abd0afa5830db946ed0718ccb8d9998b7f7f7886a8a44ab305537d1b433d64f6",
       "c199ed6cd9d53af093d1f9a4fd945a8ae38a06149996a8cf33a38d45c5192176", ""},
      {"typed: stretched", "correct horse",
       "59e7f5e1e9e519318fe33399d66815aa3b3241bfc65a2bd23b6c087b00ef8e87",
       "6771b5d438ac3fff41f1b4066590026d63aee616b340cf4a75e89ea49287e242", ""},
      {"typed, blanks around do not count", " correct horse \r\n",
       "59e7f5e1e9e519318fe33399d66815aa3b3241bfc65a2bd23b6c087b00ef8e87",
       "6771b5d438ac3fff41f1b4066590026d63aee616b340cf4a75e89ea49287e242", ""},
      {"typed, eight characters of UTF-8", "caf\u00e9 \u00fc ber",
       "9acd6dd84f2fc22cf72a2fca06e517153e7ac10aadcff09a6d1c1697c6286d49",
       "58d5223f4f6c7b19a3709bc6e98b65cfd59e59fee710f868774cb5f9508c41e7", ""},
      {"typed, the shortest", "12345678",
       "4f1f9c6b6a048c5f7201c330631eb19dc5fb4ef782afcd26f4f84345c02cf877",
       "321e4fc36e931c0d57b31ab919540057d6f53d636803135c6998ec851dab67b2", ""},
      {"generated with a typing error", "000G-40R4-0M30-E209-185G-R38E-1YZ5", "", "",
       "the network key looks like a generated key with a typing error"},
      {"typed, too short", "1234567", "", "", "the network key is shorter than 8 characters"},
      {"empty", "", "", "", "the network key is empty"},
      {"blank", " \t\n", "", "", "the network key is empty"},
  };
  for (const TCase& c : cases) {
    TNetworkKey key{};
    key.Datagram.fill(0xAA);
    const std::string error = DeriveNetworkKey(c.Text, key);
    EXPECT_EQ(IsGeneratedNetworkKey(c.Text), std::string(c.What).starts_with("generated,"))
        << c.What;
    if (*c.Datagram) {
      EXPECT_EQ(error, "") << c.What;
      EXPECT_EQ(Hex(key.Datagram), c.Datagram) << c.What;
      EXPECT_EQ(Hex(key.Stream), c.Stream) << c.What;
    } else {
      EXPECT_TRUE(error.starts_with(c.Problem)) << c.What << ": " << error;
      EXPECT_EQ(NetworkKeyProblem(c.Text), error) << c.What;
      EXPECT_EQ(key.Datagram[0], 0xAA) << c.What << ": a refused key leaves the keys alone";
    }
  }
}

TEST(NetworkKeyTest, NewNetworkKey_SevenGroupsReadBackAsGenerated_NeverTheSame) {
  const std::regex shape("([0-9A-HJKMNP-TV-Z]{4}-){6}[0-9A-HJKMNP-TV-Z]{4}");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string key = NewNetworkKey();
    EXPECT_TRUE(std::regex_match(key, shape)) << key;
    EXPECT_TRUE(IsGeneratedNetworkKey(key)) << key;
    seen.insert(key);
  }
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
