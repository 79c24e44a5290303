// What a hostile or broken host sends to a desk: clipboard text that no desktop keeps as it
// came, and screen frames sized to cost their receiver dear. Each function stands alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/Bytes.h"

namespace PondarTest {

// A clipboard message (type 5) carrying AText byte for byte, whatever it holds.
inline TBytes ClipboardMessage(const std::string& AText) {
  return B({5}) + Le32(AText.size()) + AText;
}

// Eight bytes that claim a picture of AWidth x AHeight: a delta frame without a tile. A
// receiver that takes it holds a whole black picture of that size.
inline TBytes BlankFrame(uint16_t AWidth, uint16_t AHeight) {
  return Le16(AWidth) + Le16(AHeight) + B({64, 1, 0, 0});
}

// A shell command that sends ABytes to AIp:APort from the network namespace it runs in (with
// bash's /dev/tcp), for TNetLab::Run: any program on a host of the lab may send such bytes.
inline std::string ShellSend(const TBytes& ABytes, const std::string& AIp, uint16_t APort) {
  std::string format;
  for (const uint8_t byte : ABytes) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "\\%03o", byte);
    format += octal;
  }
  return "bash -c 'printf \"" + format + "\" >/dev/tcp/" + AIp + "/" + std::to_string(APort) + "'";
}

}  // namespace PondarTest
