// Building wire bytes by hand in tests: B({0x01, 0x02}) + Le32(n) + "text", and d += Le16(n).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>

#include "core/Types.h"

namespace PondarTest {

using Pondar::Core::TBytes;

inline TBytes B(std::initializer_list<int> AValues) {
  TBytes out;
  for (int v : AValues) out.push_back(static_cast<uint8_t>(v));
  return out;
}

inline TBytes LeBytes(uint64_t AValue, int AWidth) {
  TBytes out;
  for (int i = 0; i < AWidth; ++i) out.push_back(static_cast<uint8_t>(AValue >> (8 * i)));
  return out;
}
inline TBytes Le16(uint64_t AValue) { return LeBytes(AValue, 2); }
inline TBytes Le32(uint64_t AValue) { return LeBytes(AValue, 4); }
inline TBytes Le64(uint64_t AValue) { return LeBytes(AValue, 8); }

// Bytes that no two tests share by accident, the same for the same seed.
inline std::string RandomText(size_t ASize, unsigned ASeed) {
  std::mt19937 gen(ASeed);
  std::string out(ASize, '\0');
  for (auto& c : out) c = static_cast<char>(gen());
  return out;
}

}  // namespace PondarTest

// In the global namespace, where the tests' own code finds them.
inline Pondar::Core::TBytes operator+(Pondar::Core::TBytes A, const std::string& AText) {
  A.insert(A.end(), AText.begin(), AText.end());
  return A;
}
inline Pondar::Core::TBytes operator+(Pondar::Core::TBytes A, const Pondar::Core::TBytes& AMore) {
  A.insert(A.end(), AMore.begin(), AMore.end());
  return A;
}
inline Pondar::Core::TBytes& operator+=(Pondar::Core::TBytes& A, const std::string& AText) {
  A.insert(A.end(), AText.begin(), AText.end());
  return A;
}
inline Pondar::Core::TBytes& operator+=(Pondar::Core::TBytes& A,
                                        const Pondar::Core::TBytes& AMore) {
  A.insert(A.end(), AMore.begin(), AMore.end());
  return A;
}
