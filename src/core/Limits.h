// What any host on the network can make a peer spend, and the cap or deadline on each. The
// protocol has no authentication, so every one of these is within reach of a hostile or broken
// host; they live side by side so that they are weighed against each other. Each says why the
// number is what it is.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Pondar::Core::Limits {

// ---- discovery ----

// Entries in the discovery table. A LAN's desks number a handful, a few dozen at most; a host
// that announces thousands of names gets this many entries, not thousands, each of them a peer
// to sync with and a line in the window's list. A name heard while the table is full is not
// added until entries fall silent or say goodbye.
inline constexpr size_t MaxPeers = 256;
// Addresses remembered for having been reported (once a minute each) as holding no or another
// network key: a host that sends from forged addresses gets this many lines a minute at most.
inline constexpr size_t MaxWarnedAddresses = 256;

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
// Screen frames waiting for one peer: one, waiting or on its way, and no constant for it: a
// peer still taking the last frame is passed over for the next, so a slow reader costs its own
// pictures and never another viewer's.
// Connections the sender of notices, texts and frames keeps open at once, over all peers: it
// bounds the descriptors that peers which never answer can hold, and is high enough that an
// honest peer never waits behind them.
inline constexpr size_t MaxSendsAtOnce = 64;

// ---- screens received ----

// The widest and tallest picture a viewer takes. Frames may claim 65535 x 65535 pixels (a
// 12 GB buffer); 8192 covers every screen sold today, and a picture at this limit costs about
// 450 MB (3 bytes a pixel to decode onto, 4 to draw). It also bounds what one frame may make
// the decoder inflate: a frame that lists a tile twice is refused, so its tiles never overlap
// and inflate to Width x Height x 3 bytes at most, 192 MiB at this limit.
inline constexpr int MaxViewerSide = 8192;
// Frames of one peer waiting to be decoded. A peer sends one frame at a time and waits for
// none of ours, so two absorb a decode that runs late; more would only grow a backlog of
// pictures that are out of date before they are shown.
inline constexpr size_t MaxFramesQueuedPerPeer = 2;
// Frames of all peers waiting to be decoded (each up to MaxFramePayload, 50 MiB). Four peers
// at their own limit; a peer that floods takes only its own two places.
inline constexpr size_t MaxFramesQueued = 8;
// Viewers: one per address that discovery knows, so at most one per entry of its table
// (MaxPeers). A host that announces many names still shows one screen, under the first name it
// announced.

}  // namespace Pondar::Core::Limits
