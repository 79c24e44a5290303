// Whether this process runs in a network namespace of its own. Header-only, so that the small
// programs the lab starts can ask too.
#pragma once

#include <net/if.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace PondarTest {

// The first interface that is neither loopback nor starts with AOwnPrefix; empty when there is
// none. Asks the kernel, not /sys/class/net: sysfs shows the namespace of whoever mounted it,
// so under a bare "unshare --net" it still lists the machine's own interfaces.
inline std::string ForeignInterface(const std::string& AOwnPrefix) {
  struct if_nameindex* names = ::if_nameindex();
  if (!names) return "(interfaces unreadable)";
  std::string foreign;
  for (const struct if_nameindex* p = names; p->if_index != 0 && p->if_name; ++p) {
    const std::string name = p->if_name;
    if (name == "lo") continue;
    if (!AOwnPrefix.empty() && name.rfind(AOwnPrefix, 0) == 0) continue;
    foreign = name;
    break;
  }
  ::if_freenameindex(names);
  return foreign;
}

// For the lab's small peer programs, which broadcast: true, after saying so on stderr, when an
// interface other than loopback and those starting with $PONDAR_LAB_IFPREFIX is in sight.
inline bool RefuseOutsideLab(const char* AProgram) {
  const char* prefix = std::getenv("PONDAR_LAB_IFPREFIX");
  const std::string foreign = ForeignInterface(prefix ? prefix : "");
  if (foreign.empty()) return false;
  std::fprintf(stderr,
               "%s: REFUSING TO BROADCAST: interface '%s' is not a lab interface; run me inside a "
               "network namespace of my own\n",
               AProgram, foreign.c_str());
  return true;
}

// Blocks SIGTERM and SIGINT in this thread and the threads it starts afterwards, for sigwait on
// the returned set; call it before any thread exists.
inline sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return stopSignals;
}

}  // namespace PondarTest
