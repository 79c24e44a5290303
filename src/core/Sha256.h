// SHA-256 digests written as 64 lower-case hexadecimal digits: how files and clipboard texts
// are recognised again, here and on every peer.
#pragma once

#include <cstddef>
#include <memory>

#include "core/Types.h"

struct evp_md_ctx_st;

namespace Pondar::Core {

// Fed piece by piece; HexDigest ends it. Any failure of the crypto library (which only an
// exhausted memory can bring) leaves the digest empty.
class TSha256 {
 public:
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;

  void Update(const void* AData, size_t ACount);
  RawUtf8 HexDigest();

 private:
  evp_md_ctx_st* FContext;
  bool FFailed = false;
};

RawUtf8 Sha256Hex(std::string_view AData);

}  // namespace Pondar::Core
