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
