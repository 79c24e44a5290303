// Whether this process runs in a network namespace of its own. Header-only, so that the small
// programs the lab starts can ask too.
#pragma once

#include <net/if.h>

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

}  // namespace PondarTest
