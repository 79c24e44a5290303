#include "net/Outbox.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "net/Messages.h"
#include "net/Protocol.h"

namespace Pondar::Net {

namespace {

template <class TWrite>
TOutMessage Encode(TWrite AWrite) {
  TMemOutStream out;
  AWrite(out);
  return std::make_shared<const TBytes>(out.Take());
}

// Without an eventfd (the system refused one) the thread looks for new messages this often.
constexpr int FallbackPollMs = 50;

}  // namespace

TOutMessage DeleteNotifyMessage(const RawUtf8& ARelPath) {
  return Encode([&](TOutStream& AOut) { WriteDeleteNotify(AOut, ARelPath); });
}

TOutMessage ChangesNotifyMessage() {
  return Encode([](TOutStream& AOut) { WriteChangesNotify(AOut); });
}

TOutMessage ClipboardTextMessage(const RawUtf8& AText) {
  return Encode([&](TOutStream& AOut) { WriteClipboardText(AOut, AText); });
}

TOutMessage ScreenFrameMessage(const RawUtf8& APeerName, const TBytes& AData) {
  return Encode([&](TOutStream& AOut) { WriteScreenFrame(AOut, APeerName, AData); });
}

TPeerOutbox::TPeerOutbox()
    : TWorkerThread("Sending to peers"), FPostFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TPeerOutbox::~TPeerOutbox() {
  Terminate();
  WaitFor();
  if (FPostFd >= 0) ::close(FPostFd);
}

void TPeerOutbox::Post(const Core::TPeerInfoDynArray& APeers, std::vector<TOutMessage> AMessages,
                       TOnRoundDone AOnDone) {
  Queue(APeers, std::move(AMessages), false, std::move(AOnDone));
}

void TPeerOutbox::PostFrame(const Core::TPeerInfoDynArray& APeers, TOutMessage AFrame,
                            TOnRoundDone AOnDone) {
  Queue(APeers, {std::move(AFrame)}, true, std::move(AOnDone));
}

void TPeerOutbox::Queue(const Core::TPeerInfoDynArray& APeers, std::vector<TOutMessage> AMessages,
                        bool AFrame, TOnRoundDone AOnDone) {
  TDone done;
  {
    std::lock_guard lock(FLock);
    const uint64_t id = FNextRound++;
    TRound& round = FRounds[id];
    round.OnDone = std::move(AOnDone);
    for (const auto& info : APeers) {
      TPeer& peer = FPeers[info.IP + ":" + std::to_string(info.TcpPort)];
      peer.Host = info.IP;
      peer.Port = info.TcpPort;
      // A peer too far behind, or still taking the last frame, is passed over this round.
      if ((AFrame && peer.HasFrame) ||
          peer.Queue.size() + AMessages.size() > Core::Limits::MaxQueuedPerPeer) {
        round.AllSent = false;
        continue;
      }
      for (const auto& message : AMessages) peer.Queue.push_back({message, id, AFrame});
      peer.HasFrame = peer.HasFrame || AFrame;
      round.Left += AMessages.size();
      FPending += AMessages.size();
    }
    if (round.Left == 0) {
      // Nothing was queued: the round is over before it began.
      done.emplace_back(std::move(round.OnDone), round.AllSent && !AMessages.empty());
      FRounds.erase(id);
    }
  }
  Wake();
  RunDone(done);
}

size_t TPeerOutbox::Pending() const {
  std::lock_guard lock(FLock);
  return FPending;
}

bool TPeerOutbox::WaitIdle(std::chrono::milliseconds ATimeout) {
  std::unique_lock lock(FLock);
  return FIdle.wait_for(lock, ATimeout, [&] { return FPending == 0; });
}

void TPeerOutbox::Wake() const {
  if (FPostFd < 0) return;
  const uint64_t one = 1;
  (void)!::write(FPostFd, &one, sizeof one);
}

void TPeerOutbox::RunDone(TDone& ADone) {
  for (auto& [callback, allSent] : ADone)
    if (callback) callback(allSent);
  ADone.clear();
}

void TPeerOutbox::Settle(uint64_t ARound, bool ASent, TDone& ADone) {
  --FPending;
  if (FPending == 0) FIdle.notify_all();
  const auto it = FRounds.find(ARound);
  if (it == FRounds.end()) return;
  it->second.AllSent = it->second.AllSent && ASent;
  if (--it->second.Left > 0) return;
  ADone.emplace_back(std::move(it->second.OnDone), it->second.AllSent);
  FRounds.erase(it);
}

void TPeerOutbox::Finish(TPeer& APeer, bool ASent, TDone& ADone) {
  APeer.Conn.Close();
  --FOpen;
  APeer.Connected = false;
  APeer.Offset = 0;
  TItem item = std::move(APeer.Current);
  APeer.Current = {};
  if (item.Frame) APeer.HasFrame = false;
  Settle(item.Round, ASent, ADone);
  if (ASent) return;
  // The peer failed this round's message: the rest of the round would fail the same way.
  std::erase_if(APeer.Queue, [&](const TItem& AItem) {
    if (AItem.Round != item.Round) return false;
    if (AItem.Frame) APeer.HasFrame = false;
    Settle(AItem.Round, false, ADone);
    return true;
  });
}

void TPeerOutbox::StartSends(uint64_t ANow, TDone& ADone) {
  for (auto it = FPeers.begin(); it != FPeers.end() && FOpen < Core::Limits::MaxSendsAtOnce;) {
    TPeer& peer = it->second;
    if (peer.Conn || peer.Queue.empty()) {
      // A peer with nothing left to send is forgotten; it comes back with its next message.
      it = !peer.Conn && peer.Queue.empty() ? FPeers.erase(it) : std::next(it);
      continue;
    }
    peer.Current = std::move(peer.Queue.front());
    peer.Queue.erase(peer.Queue.begin());
    peer.Conn = TConnection::ConnectStart(peer.Host, peer.Port);
    ++FOpen;
    if (!peer.Conn) {
      Finish(peer, false, ADone);
      continue;  // the same peer again: its next round may fare better
    }
    peer.ConnectDeadline = ANow + static_cast<uint64_t>(ConnectTimeoutMs);
    ++it;
  }
}

void TPeerOutbox::Execute() {
  std::vector<pollfd> fds;
  std::vector<TPeer*> polled;
  TDone done;
  while (!Terminated()) {
    int timeout = -1;
    fds.clear();
    polled.clear();
    fds.push_back({WakeFd(), POLLIN, 0});
    fds.push_back({FPostFd, POLLIN, 0});
    {
      std::lock_guard lock(FLock);
      const uint64_t now = Core::GetTickCount64();
      StartSends(now, done);
      for (auto& [key, peer] : FPeers) {
        if (!peer.Conn) continue;
        const uint64_t deadline = peer.Connected ? peer.Conn.DeadlineTick() : peer.ConnectDeadline;
        const int left =
            deadline > now ? static_cast<int>(std::min<uint64_t>(deadline - now, 1u << 30)) : 0;
        timeout = timeout < 0 ? left : std::min(timeout, left);
        // Connected and keyed: the handshake may wait for the peer's answer before a byte goes.
        fds.push_back({peer.Conn.PollFd(),
                       peer.Connected ? peer.Conn.PollEvents(POLLOUT) : short{POLLOUT}, 0});
        polled.push_back(&peer);
      }
    }
    RunDone(done);
    if (WakeFd() < 0 || FPostFd < 0)
      timeout = timeout < 0 ? FallbackPollMs : std::min(timeout, FallbackPollMs);
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) continue;
    if (Terminated()) break;
    if (fds[1].revents != 0) {
      uint64_t count = 0;
      (void)!::read(FPostFd, &count, sizeof count);
    }

    std::lock_guard lock(FLock);
    const uint64_t now = Core::GetTickCount64();
    for (size_t i = 0; i < polled.size(); ++i) {
      TPeer& peer = *polled[i];
      const short events = fds[i + 2].revents;
      if (!peer.Connected) {
        if (events != 0) {
          if (!peer.Conn.ConnectDone()) {
            Finish(peer, false, done);
            continue;
          }
          peer.Connected = true;
          peer.Conn.SetRequestBudget(Core::Limits::RequestBudgetMs);
        } else {
          if (now >= peer.ConnectDeadline) Finish(peer, false, done);
          continue;
        }
      }
      const TBytes& bytes = *peer.Current.Bytes;
      const ssize_t n = peer.Conn.SendNow(bytes.data() + peer.Offset, bytes.size() - peer.Offset);
      if (n < 0) {
        Finish(peer, false, done);
        continue;
      }
      peer.Offset += static_cast<size_t>(n);
      if (peer.Offset == bytes.size()) {
        Finish(peer, true, done);
      } else if (n == 0 && now >= peer.Conn.DeadlineTick()) {
        Finish(peer, false, done);  // a peer that stopped reading
      }
    }
  }
  // Stopping: what is open is closed and what waits is dropped, without waiting for anyone.
  {
    std::lock_guard lock(FLock);
    for (auto& [key, peer] : FPeers) {
      if (peer.Conn) Finish(peer, false, done);
      for (const TItem& item : peer.Queue) Settle(item.Round, false, done);
      peer.Queue.clear();
    }
    FPeers.clear();
  }
  RunDone(done);
}

}  // namespace Pondar::Net
