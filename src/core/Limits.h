// What any host on the network can make a peer spend, and the cap or deadline on each. The
// protocol has no authentication, so every one of these is reachable by a hostile or broken
// host; they live side by side so that they are weighed against each other. Each line says why
// the number is what it is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Pondar::Core::Limits {

// ---- one request, on either side of a connection ----

// The time a whole request may take when it moves no bulk: a path, a notice, a short text, the
// wait for a reply to start. A peer that trickles a byte now and then is cut off at this point
// however steady its trickle. Far above what a LAN needs, even behind a busy peer.
inline constexpr int RequestBudgetMs = 30000;
// Bulk (a file, a list, a long text, a frame) earns more time as it moves: each byte moved
// extends the request's deadline by 1 / MinTransferBytesPerSec. A transfer that keeps above
// this rate on average never runs out; one that stalls runs out RequestBudgetMs after its last
// byte at the latest, whatever time it had earned. 64 KiB/s is far below any working LAN or
// Wi-Fi link.
inline constexpr uint32_t MinTransferBytesPerSec = 64 * 1024;

// ---- the server ----

// Requests (types 1 to 5) served at once, each on a thread of its own: a slow or hostile
// requester holds one of them up to its deadline, never the others. Eight peers downloading at
// full speed already share the link.
inline constexpr size_t MaxRequestsAtOnce = 8;
// Requests waiting for one of those threads; beyond this a new request is refused by closing.
inline constexpr size_t MaxQueuedRequests = 64;
// Accepted connections whose type byte has not come; beyond this the oldest is closed, so a
// flood of connections cannot use up the process's descriptors.
inline constexpr size_t MaxUntypedConnections = 64;
// Screen frames received at once, each on a thread of its own; further frames are closed at
// once. A frame is up to 50 MiB: this also bounds the memory frames in transit take.
inline constexpr size_t MaxFrameReceivers = 8;

// ---- the requesting side ----

// Syncs running at once, whatever the number of peers: a flood of announced names costs this
// many threads and connections, not one per name. Syncs of further peers wait their turn.
inline constexpr size_t MaxSyncsAtOnce = 4;
// Messages (notices, clipboard texts) waiting for one peer; they share their bytes with every
// other peer's copy, so each costs a few words here. A folder's deletes go as one round of a
// notice per file, and must fit: a round that does not is passed over for that peer.
inline constexpr size_t MaxQueuedPerPeer = 65536;
// Connections the sender of notices, texts and frames keeps open at once, over all peers: it
// bounds the descriptors that peers which never answer can hold, and is high enough that an
// honest peer never waits behind them.
inline constexpr size_t MaxSendsAtOnce = 64;

}  // namespace Pondar::Core::Limits
