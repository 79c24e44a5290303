// Messages to peers that want no reply (notices, clipboard texts, screen frames), each peer on a
// bounded queue of its own, all of them sent by one thread that waits for no peer in particular:
// a peer that never answers, or stops reading, costs its own messages and nobody else's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Limits.h"
#include "core/Types.h"
#include "core/Worker.h"
#include "net/Connection.h"

namespace Pondar::Net {

// One whole message as it travels, type byte first; shared by every peer it goes to.
using TOutMessage = std::shared_ptr<const TBytes>;

// The bytes of each message, as its writer in net/Messages.h makes them.
TOutMessage DeleteNotifyMessage(const RawUtf8& ARelPath);
TOutMessage ChangesNotifyMessage();
TOutMessage ClipboardTextMessage(const RawUtf8& AText);
TOutMessage ScreenFrameMessage(const RawUtf8& APeerName, const TBytes& AData);

// Owner's protocol: create, Start, Post from any thread; Terminate and WaitFor to stop (what is
// still queued is dropped then; WaitIdle first to let it go). The destructor does both.
//
// Each message goes on a connection of its own, as the protocol has it, and a peer's messages go
// in the order they were posted, one connection at a time. A message is given the connect
// time-out, then the request budget of core/Limits.h for its bytes; one that fails (refused, no
// answer, a peer that stops reading) takes the rest of its round to that peer with it, so a peer
// that is gone costs one time-out per round, not one per message.
//
// Bounds: MaxQueuedPerPeer messages wait per peer (a round that does not fit is not queued for
// that peer); at most one screen frame per peer is waiting or on its way (a peer still taking the
// last one is passed over for the next); at most MaxSendsAtOnce connections are open at once.
class TPeerOutbox final : public Core::TWorkerThread {
 public:
  // Called once every peer of a round has been sent its messages or has failed or been passed
  // over; AAllSent when every message reached its peer's socket whole. On the outbox's thread,
  // or on the posting one when nothing could be queued; must not call back into the outbox.
  using TOnRoundDone = std::function<void(bool AAllSent)>;

  TPeerOutbox();
  ~TPeerOutbox() override;

  // Queues AMessages, in order, for every peer of APeers, as one round. Never blocks.
  void Post(const Core::TPeerInfoDynArray& APeers, std::vector<TOutMessage> AMessages,
            TOnRoundDone AOnDone = nullptr);
  // Queues one screen frame for every peer of APeers that has no frame waiting or on its way.
  void PostFrame(const Core::TPeerInfoDynArray& APeers, TOutMessage AFrame,
                 TOnRoundDone AOnDone = nullptr);
  // Messages waiting or on their way, over all peers.
  size_t Pending() const;
  // Blocks until nothing is pending or ATimeout has passed; true when nothing is.
  bool WaitIdle(std::chrono::milliseconds ATimeout);

 protected:
  void Execute() override;

 private:
  struct TItem {
    TOutMessage Bytes;
    uint64_t Round = 0;
    bool Frame = false;
  };
  struct TPeer {
    RawUtf8 Host;
    uint16_t Port = 0;
    std::vector<TItem> Queue;  // waiting, oldest first
    // The message on its way, while Conn is open.
    TItem Current;
    TConnection Conn;
    bool Connected = false;  // the connection is made and Current is being written
    uint64_t ConnectDeadline = 0;
    size_t Offset = 0;      // bytes of Current written
    bool HasFrame = false;  // a frame waits or is on its way
  };
  struct TRound {
    size_t Left = 0;
    bool AllSent = true;
    TOnRoundDone OnDone;
  };
  using TDone = std::vector<std::pair<TOnRoundDone, bool>>;

  void Queue(const Core::TPeerInfoDynArray& APeers, std::vector<TOutMessage> AMessages, bool AFrame,
             TOnRoundDone AOnDone);
  // Settles one item of its round; a finished round's callback is added to ADone. Under FLock.
  void Settle(uint64_t ARound, bool ASent, TDone& ADone);
  // Ends the message on its way: sent whole, or failed with the rest of its round. Under FLock.
  void Finish(TPeer& APeer, bool ASent, TDone& ADone);
  // Opens connections for peers with something waiting, as far as the cap allows. Under FLock.
  void StartSends(uint64_t ANow, TDone& ADone);
  void Wake() const;
  static void RunDone(TDone& ADone);

  const int FPostFd;  // an eventfd that Post makes readable

  mutable std::mutex FLock;  // guards everything below; never held while a callback runs
  std::condition_variable FIdle;
  std::map<std::string, TPeer> FPeers;  // by "ip:port"
  std::map<uint64_t, TRound> FRounds;
  uint64_t FNextRound = 1;
  size_t FPending = 0;
  size_t FOpen = 0;  // connections open now
};

}  // namespace Pondar::Net
