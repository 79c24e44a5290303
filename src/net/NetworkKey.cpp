#include "net/NetworkKey.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <optional>
#include <stdexcept>

namespace Pondar::Net {

namespace {

// Crockford's base32: digits and capitals without I, L, O and U, so that nothing read aloud or
// copied by hand is mistaken for something else.
constexpr std::string_view Alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr size_t RandomBytes = 16;
constexpr size_t CheckBits = 12;
constexpr size_t KeyChars = (RandomBytes * 8 + CheckBits) / 5;  // 28
constexpr size_t GroupChars = 4;

// Both salts name the protocol and its version, so that keys derived here match nothing derived
// for another purpose from the same text.
constexpr std::string_view ScryptSalt = "Pondar network key 1 / scrypt";
constexpr std::string_view HkdfSalt = "Pondar network key 1 / hkdf";
constexpr std::string_view DatagramInfo = "discovery datagram tag";
constexpr std::string_view StreamInfo = "tls 1.3 external psk";

using TRandom = std::array<uint8_t, RandomBytes>;

std::string_view Trimmed(std::string_view AText) {
  constexpr std::string_view Blanks = " \t\r\n\f\v";
  const size_t first = AText.find_first_not_of(Blanks);
  if (first == std::string_view::npos) return {};
  return AText.substr(first, AText.find_last_not_of(Blanks) - first + 1);
}

uint32_t Check(const TRandom& ABytes) {
  std::array<uint8_t, SHA256_DIGEST_LENGTH> digest{};
  SHA256(ABytes.data(), ABytes.size(), digest.data());
  return (uint32_t{digest[0]} << 4) | (digest[1] >> 4);
}

// The value of one character, the look-alikes included; -1 for anything else.
int CharValue(char AChar) {
  char c = AChar >= 'a' && AChar <= 'z' ? static_cast<char>(AChar - 'a' + 'A') : AChar;
  if (c == 'O') c = '0';
  if (c == 'I' || c == 'L') c = '1';
  const size_t at = Alphabet.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

enum class TShape { None, BadCheck, Good };

// Reads AText as a generated key: seven groups of four characters of the alphabet, split by one
// '-' or blank each (or not split at all). ABytes gets the random part when the check holds.
TShape ReadGenerated(std::string_view AText, TRandom& ABytes) {
  std::array<int, KeyChars> values{};
  size_t count = 0;
  for (size_t i = 0; i < AText.size(); ++i) {
    const char c = AText[i];
    if ((c == '-' || c == ' ') && count % GroupChars == 0 && count > 0 && count < KeyChars &&
        i > 0 && CharValue(AText[i - 1]) >= 0)
      continue;
    const int value = CharValue(c);
    if (value < 0 || count == KeyChars) return TShape::None;
    values[count++] = value;
  }
  if (count != KeyChars) return TShape::None;
  // 140 bits, most significant first: the random bytes, then the check.
  TRandom bytes{};
  uint32_t check = 0;
  size_t bit = 0;
  for (const int value : values) {
    for (int b = 4; b >= 0; --b, ++bit) {
      const uint32_t one = (static_cast<uint32_t>(value) >> b) & 1u;
      if (bit < RandomBytes * 8)
        bytes[bit / 8] = static_cast<uint8_t>(bytes[bit / 8] | (one << (7 - bit % 8)));
      else
        check = (check << 1) | one;
    }
  }
  if (check != Check(bytes)) return TShape::BadCheck;
  ABytes = bytes;
  return TShape::Good;
}

std::string OpenSslFailure(const char* AWhat) {
  return std::string("the network key cannot be derived: OpenSSL's ") + AWhat + " failed";
}

// Runs OpenSSL's KDF AName with AParams into AOut; false on any failure.
bool RunKdf(const char* AName, OSSL_PARAM* AParams, uint8_t* AOut, size_t AOutSize) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, AName, nullptr);
  if (!kdf) return false;
  EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
  EVP_KDF_free(kdf);
  if (!context) return false;
  const bool ok = EVP_KDF_derive(context, AOut, AOutSize, AParams) == 1;
  EVP_KDF_CTX_free(context);
  return ok;
}

bool Hkdf(const uint8_t* AKey, size_t AKeySize, std::string_view AInfo, TKeyBytes& AOut) {
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(AKey), AKeySize),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(HkdfSalt.data()),
                                        HkdfSalt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(AInfo.data()),
                                        AInfo.size()),
      OSSL_PARAM_construct_end()};
  return RunKdf("HKDF", params, AOut.data(), AOut.size());
}

bool Scrypt(std::string_view AText, TKeyBytes& AOut) {
  uint64_t n = ScryptN;
  uint32_t r = ScryptR, p = ScryptP;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char*>(AText.data()),
                                        AText.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(ScryptSalt.data()),
                                        ScryptSalt.size()),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
      OSSL_PARAM_construct_end()};
  return RunKdf("SCRYPT", params, AOut.data(), AOut.size());
}

}  // namespace

std::string NewNetworkKey() {
  TRandom bytes{};
  if (RAND_priv_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
    throw std::runtime_error("the system's random generator gave no bytes for a network key");
  const uint32_t check = Check(bytes);
  std::string key;
  uint32_t value = 0;
  for (size_t bit = 0; bit < KeyChars * 5; ++bit) {
    const uint32_t one = bit < RandomBytes * 8 ? (bytes[bit / 8] >> (7 - bit % 8)) & 1u
                                               : (check >> (KeyChars * 5 - 1 - bit)) & 1u;
    value = (value << 1) | one;
    if (bit % 5 == 4) {
      if (!key.empty() && (key.size() + 1) % (GroupChars + 1) == 0) key += '-';
      key += Alphabet[value];
      value = 0;
    }
  }
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return key;
}

bool IsGeneratedNetworkKey(std::string_view AText) {
  TRandom bytes{};
  const bool good = ReadGenerated(Trimmed(AText), bytes) == TShape::Good;
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return good;
}

std::string NetworkKeyProblem(std::string_view AText) {
  const std::string_view text = Trimmed(AText);
  if (text.empty()) return "the network key is empty";
  TRandom bytes{};
  const TShape shape = ReadGenerated(text, bytes);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  if (shape == TShape::BadCheck)
    return "the network key looks like a generated key with a typing error (its check does not "
           "match): copy it again";
  // Characters, not bytes: a typed key may be in any script.
  size_t chars = 0;
  for (const char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  if (shape == TShape::None && chars < MinTypedKeyChars)
    return "the network key is shorter than " + std::to_string(MinTypedKeyChars) +
           " characters: use pondard --new-key for a strong one";
  return {};
}

std::string DeriveNetworkKey(std::string_view AText, TNetworkKey& AKey) {
  if (std::string problem = NetworkKeyProblem(AText); !problem.empty()) return problem;
  const std::string_view text = Trimmed(AText);
  TRandom random{};
  TKeyBytes stretched{};
  std::string failure;
  const uint8_t* master = random.data();
  size_t masterSize = random.size();
  if (ReadGenerated(text, random) != TShape::Good) {
    if (!Scrypt(text, stretched)) failure = OpenSslFailure("scrypt");
    master = stretched.data();
    masterSize = stretched.size();
  }
  TNetworkKey key{};
  if (failure.empty() && (!Hkdf(master, masterSize, DatagramInfo, key.Datagram) ||
                          !Hkdf(master, masterSize, StreamInfo, key.Stream)))
    failure = OpenSslFailure("HKDF");
  if (failure.empty()) AKey = key;
  OPENSSL_cleanse(random.data(), random.size());
  OPENSSL_cleanse(stretched.data(), stretched.size());
  OPENSSL_cleanse(&key, sizeof key);
  return failure;
}

}  // namespace Pondar::Net
