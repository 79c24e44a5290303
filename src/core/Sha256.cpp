#include "core/Sha256.h"

#include <openssl/evp.h>

namespace Pondar::Core {

TSha256::TSha256() : FContext(EVP_MD_CTX_new()) {
  FFailed = !FContext || EVP_DigestInit_ex(FContext, EVP_sha256(), nullptr) != 1;
}

TSha256::~TSha256() {
  EVP_MD_CTX_free(FContext);
}

void TSha256::Update(const void* AData, size_t ACount) {
  if (!FFailed && EVP_DigestUpdate(FContext, AData, ACount) != 1) FFailed = true;
}

RawUtf8 TSha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  if (FFailed || EVP_DigestFinal_ex(FContext, digest, &digestLen) != 1) return {};
  FFailed = true;  // a finished context takes no more input
  static constexpr char KHex[] = "0123456789abcdef";
  RawUtf8 text;
  text.reserve(digestLen * 2);
  for (unsigned int i = 0; i < digestLen; ++i) {
    text += KHex[digest[i] >> 4];
    text += KHex[digest[i] & 0x0F];
  }
  return text;
}

RawUtf8 Sha256Hex(std::string_view AData) {
  TSha256 hash;
  hash.Update(AData.data(), AData.size());
  return hash.HexDigest();
}

}  // namespace Pondar::Core
