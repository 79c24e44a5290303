// One discovery peer and nothing else, for multi-peer tests in the network lab.
//
//   discovery_peer NAME UDP_PORT TCP_PORT
//
// Prints one line per event to stdout, flushed at once. Every line starts with the monotonic
// millisecond tick (the same clock in every process of the machine, so lines of different peers
// can be compared):
//   TICK ready NAME UDP_PORT          socket bound; the first announcement goes out with it
//   TICK inactive NAME UDP_PORT       the port could not be bound: discovery stays silent
//   TICK found NAME IP TCP_PORT       a peer entered the table
//   TICK lost NAME IP TCP_PORT LAST   a peer left it; LAST is the tick it was last heard at
//   TICK table NAME:IP:PORT ...       SIGUSR1: the table as it is, one word per entry
//   TICK goodbye                      SIGTERM or SIGINT: goodbye sent, exiting with status 0
// SIGKILL just ends it, without a goodbye.
//
// It broadcasts, so it refuses to start (status 3) unless every network interface it can see
// is loopback or starts with $PONDAR_LAB_IFPREFIX: it belongs in a namespace of its own.
#include <signal.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "core/Types.h"
#include "net/Discovery.h"
#include "support/Isolation.h"

namespace {

std::mutex OutputLock;

void Say(const std::string& ALine) {
  std::lock_guard lock(OutputLock);
  std::printf("%" PRIu64 " %s\n", Pondar::Core::GetTickCount64(), ALine.c_str());
  std::fflush(stdout);
}

bool ParsePort(const char* AText, uint16_t& AOut) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(AText, &end, 10);
  if (!*AText || *end || v > 65535) return false;
  AOut = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint16_t udpPort = 0, tcpPort = 0;
  if (argc != 4 || !ParsePort(argv[2], udpPort) || !ParsePort(argv[3], tcpPort)) {
    std::fprintf(stderr, "usage: discovery_peer NAME UDP_PORT TCP_PORT\n");
    return 2;
  }
  if (PondarTest::RefuseOutsideLab("discovery_peer")) return 3;
  // The stop signals and SIGUSR1 are taken by sigwait below; blocked before any thread exists so
  // that no thread receives them.
  sigset_t signals = PondarTest::BlockStopSignals();
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const std::string name = argv[1];
  Pondar::Net::TDiscoveryThread discovery(name, udpPort, tcpPort);
  discovery.OnPeerDiscovered = [](const Pondar::Core::TPeerInfo& APeer) {
    Say("found " + APeer.Name + " " + APeer.IP + " " + std::to_string(APeer.TcpPort));
  };
  discovery.OnPeerLost = [](const Pondar::Core::TPeerInfo& APeer) {
    Say("lost " + APeer.Name + " " + APeer.IP + " " + std::to_string(APeer.TcpPort) + " " +
        std::to_string(APeer.LastSeenTick));
  };
  discovery.Start();

  // The socket is bound on the discovery thread; wait until it is, or until the thread gave up.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (discovery.BoundPort() == 0 && discovery.Running() &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  Say((discovery.BoundPort() != 0 ? "ready " : "inactive ") + name + " " + std::to_string(udpPort));

  for (int signal = 0;;) {
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal != SIGUSR1) break;
    std::string table = "table";
    for (const Pondar::Core::TPeerInfo& peer : discovery.GetPeerList())
      table += " " + peer.Name + ":" + peer.IP + ":" + std::to_string(peer.TcpPort);
    Say(table);
  }
  discovery.SendGoodbye();
  Say("goodbye");
  discovery.Terminate();
  discovery.WaitFor();
  return 0;
}
