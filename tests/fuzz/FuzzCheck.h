// What the fuzz targets share: a property check that stops the process the way libFuzzer
// notices, and the entry point every target defines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize);

namespace PondarFuzz {

// Run once just before a failed check stops the process, so that a target can remove what it
// made (a temporary folder); crashes found by the sanitizers skip it.
inline void (*BeforeFailure)() = nullptr;

// A violated property: says which and where, then traps. libFuzzer reports the trap as a crash
// and keeps the input; the replay program dies on it, so the test fails.
[[noreturn]] inline void Fail(const char* AFile, int ALine, const char* ACondition,
                              const char* AWhat) {
  std::fprintf(stderr, "\n%s:%d: property violated: %s\n  check: %s\n", AFile, ALine, AWhat,
               ACondition);
  std::fflush(stderr);
  if (BeforeFailure) BeforeFailure();
  __builtin_trap();
}

}  // namespace PondarFuzz

// Checks a property of the code under test; AWhat says it in words.
#define FUZZ_REQUIRE(ACondition, AWhat)                                          \
  do {                                                                           \
    if (!(ACondition)) PondarFuzz::Fail(__FILE__, __LINE__, #ACondition, AWhat); \
  } while (false)
