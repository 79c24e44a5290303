#include "support/HostileAgent.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "net/Messages.h"
#include "support/Bytes.h"
#include "support/RawSockets.h"

namespace PondarTest::Hostile {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds Slice(50);

// Polls AFd for AEvents for AMs at most; the revents, 0 on a time-out.
short PollFor(int AFd, short AEvents, int AMs) {
  pollfd pfd{AFd, AEvents, 0};
  return ::poll(&pfd, 1, AMs) > 0 ? pfd.revents : 0;
}

// True when the other side has closed or reset: readable, and a peek finds no byte.
bool PeerClosed(int AFd) {
  if ((PollFor(AFd, POLLIN, 0) & (POLLIN | POLLHUP | POLLERR)) == 0) return false;
  uint8_t byte = 0;
  return ::recv(AFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

// A thread that hands every connection AListen accepts to AServe, until AStop.
std::thread AcceptLoop(const TSocket& AListen, const std::atomic<bool>& AStop,
                       std::function<void(TSocket)> AServe) {
  return std::thread([&AListen, &AStop, AServe = std::move(AServe)] {
    while (!AStop) {
      if ((PollFor(AListen.Fd(), POLLIN, static_cast<int>(Slice.count())) & POLLIN) == 0) continue;
      TSocket conn(::accept4(AListen.Fd(), nullptr, nullptr, SOCK_CLOEXEC));
      if (conn) AServe(std::move(conn));
    }
  });
}

}  // namespace

TInNetns::TInNetns(const std::string& ANamespace) {
  FHome = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int target = ::open(("/run/netns/" + ANamespace).c_str(), O_RDONLY | O_CLOEXEC);
  const bool entered = FHome >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) ::close(target);
  if (!entered) {
    if (FHome >= 0) ::close(FHome);
    throw std::runtime_error("cannot enter network namespace " + ANamespace);
  }
}

TInNetns::~TInNetns() {
  ::setns(FHome, CLONE_NEWNET);
  ::close(FHome);
}

TTricklingClient::TTricklingClient(const std::string& AIp, uint16_t APort, TBytes APrefix,
                                   std::chrono::milliseconds AInterval)
    : FSock(Dial(APort, AIp.c_str())) {
  if (!FSock || !SendRaw(FSock, APrefix)) {
    FDropped = true;
    return;
  }
  FThread = std::thread([this, AInterval] {
    const auto start = Clock::now();
    auto next = start + AInterval;
    while (!FStop) {
      if (PeerClosed(FSock.Fd())) break;
      if (Clock::now() < next) {
        PollFor(FSock.Fd(), POLLIN, static_cast<int>(Slice.count()));
        continue;
      }
      if (!SendRaw(FSock, B({'x'}))) break;
      next += AInterval;
    }
    if (FStop) return;
    FHeldFor = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    FDropped = true;
  });
}

TTricklingClient::~TTricklingClient() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
}

TSilentServer::TSilentServer(const std::string& AIp) : FListen(ListenTcp(AIp.c_str(), 4096)) {
  FPort = PortOf(FListen);
  FThread = AcceptLoop(FListen, FStop, [this](TSocket AConn) {
    FHeld.push_back(std::move(AConn));
    ++FAccepted;
  });
}

TSilentServer::~TSilentServer() {
  FStop = true;
  FThread.join();
}

TBlackHole::TBlackHole(const std::string& AIp) : FListen(ListenTcp(AIp.c_str(), 0)) {
  FPort = PortOf(FListen);
  FFiller = Dial(FPort, AIp.c_str());
}

TStalledFileServer::TStalledFileServer(const std::string& AIp, TFileEntries AEntries,
                                       size_t AFirstBytes)
    : FListen(ListenTcp(AIp.c_str(), 64)), FEntries(std::move(AEntries)), FFirstBytes(AFirstBytes) {
  FPort = PortOf(FListen);
  FThread = AcceptLoop(FListen, FStop, [this](TSocket AConn) { Serve(std::move(AConn)); });
}

TStalledFileServer::~TStalledFileServer() {
  FStop = true;
  FThread.join();
}

void TStalledFileServer::Serve(TSocket AConn) {
  const TBytes type = ReadExactly(AConn, 1, std::chrono::seconds(2));
  if (type == B({1})) {
    const TBytes list = Pondar::Net::EncodeFileList(FEntries);
    SendRaw(AConn, Le32(list.size()) + list);
    return;
  }
  if (type != B({2})) return;
  const TBytes len = ReadExactly(AConn, 2, std::chrono::seconds(2));
  if (len.size() != 2) return;
  const TBytes path =
      ReadExactly(AConn, size_t{len[0]} | size_t{len[1]} << 8, std::chrono::seconds(2));
  for (const auto& entry : FEntries) {
    if (TBytes(entry.RelPath.begin(), entry.RelPath.end()) != path) continue;
    ++FFileRequests;
    SendRaw(AConn, Le64(static_cast<uint64_t>(entry.Size)) + TBytes(FFirstBytes, 's'));
    FHeld.push_back(std::move(AConn));  // and then nothing, for as long as it lives
    return;
  }
  SendRaw(AConn, Le64(UINT64_MAX));
}

TAnnouncer::TAnnouncer(const std::string& AIp, uint16_t AUdpPort)
    : FSock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), FIp(AIp), FUdpPort(AUdpPort) {}

void TAnnouncer::Announce(const std::vector<std::string>& ANames, uint16_t ATcpPort) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(FUdpPort);
  ::inet_pton(AF_INET, FIp.c_str(), &to.sin_addr);
  size_t sent = 0;
  for (const auto& name : ANames) {
    const TBytes datagram =
        Pondar::Net::BuildDiscoveryPacket(Pondar::Net::TDiscoveryKind::dkAnnounce, ATcpPort, name);
    ::sendto(FSock.Fd(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
    if (++sent % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TProcessLoad LoadOf(pid_t APid) {
  TProcessLoad load;
  const std::string proc = "/proc/" + std::to_string(APid);
  if (DIR* dir = ::opendir((proc + "/fd").c_str())) {
    load.Descriptors = 0;
    while (const dirent* e = ::readdir(dir))
      if (e->d_name[0] != '.') ++load.Descriptors;
    ::closedir(dir);
  }
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) load.Threads = std::stoi(line.substr(8));
  return load;
}

TBytes ClipboardMessage(const std::string& AText) {
  return B({5}) + Le32(AText.size()) + AText;
}

TBytes BlankFrame(uint16_t AWidth, uint16_t AHeight) {
  return Le16(AWidth) + Le16(AHeight) + B({64, 1, 0, 0});
}

std::string ShellSend(const TBytes& ABytes, const std::string& AIp, uint16_t APort) {
  std::string format;
  for (const uint8_t byte : ABytes) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "\\%03o", byte);
    format += octal;
  }
  return "bash -c 'printf \"" + format + "\" >/dev/tcp/" + AIp + "/" + std::to_string(APort) + "'";
}

}  // namespace PondarTest::Hostile
