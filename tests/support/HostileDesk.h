// What a hostile or broken host sends to a desk: clipboard text that no desktop keeps as it
// came, and screen frames under names not its own or sized to cost their receiver dear. Plain
// bytes and plain sockets; each function stands alone.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/Types.h"
#include "net/Socket.h"
#include "support/Bytes.h"

namespace PondarTest {

// A clipboard message (type 5) carrying AText byte for byte, whatever it holds.
inline TBytes ClipboardMessage(const std::string& AText) {
  return B({5}) + Le32(AText.size()) + AText;
}

// A screen frame message (type 6) under AName, which any host may write.
inline TBytes FrameMessage(const std::string& AName, const TBytes& AFrame) {
  return B({6}) + Le16(AName.size()) + AName + Le32(AFrame.size()) + AFrame;
}

// Eight bytes that claim a picture of AWidth x AHeight: a delta frame without a tile. A
// receiver that takes it holds a whole black picture of that size.
inline TBytes BlankFrame(uint16_t AWidth, uint16_t AHeight) {
  return Le16(AWidth) + Le16(AHeight) + B({64, 1, 0, 0});
}

// ABytes over one connection to 127.0.0.1:APort, made from ASourceIp (any address of the
// loopback range), so that a test can speak as another host. False when it cannot be sent.
inline bool SendFrom(const char* ASourceIp, uint16_t APort, const TBytes& ABytes) {
  const Pondar::Net::TSocket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  to.sin_port = htons(APort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::inet_pton(AF_INET, ASourceIp, &from.sin_addr) != 1 ||
      ::bind(sock.Fd(), reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(sock.Fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
    return false;
  for (size_t sent = 0; sent < ABytes.size();) {
    const ssize_t n = ::send(sock.Fd(), ABytes.data() + sent, ABytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// A shell command that sends ABytes to AIp:APort from the network namespace it runs in (with
// bash's /dev/tcp), for TNetLab::Run: a host of the lab that runs no peer of ours.
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
