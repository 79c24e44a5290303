// What any host on the network can make a peer spend, and the cap or deadline on each. The
// protocol has no authentication, so every one of these is within reach of a hostile or broken
// host; they live side by side so that they are weighed against each other. Each says why the
// number is what it is.
#pragma once

#include <cstddef>

namespace Pondar::Core::Limits {

// ---- discovery ----

// Entries in the discovery table. A LAN's desks number a handful, a few dozen at most; a host
// that announces thousands of names gets this many entries, not thousands, each of them a peer
// to sync with and a line in the window's list. A name heard while the table is full is not
// added until entries fall silent or say goodbye.
inline constexpr size_t MaxPeers = 256;

}  // namespace Pondar::Core::Limits
