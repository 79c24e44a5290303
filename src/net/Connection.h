// One TCP connection of the protocol. Every exchange with a peer (serving, fetching, notices,
// clipboard, frames) goes through this class, and nothing else sends or receives on a TCP
// socket: it is the one place that owns a connection's socket, its time limits and, in keyed
// mode, its encryption.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sys/types.h>

#include "core/Types.h"
#include "net/Socket.h"
#include "net/Stream.h"
#include "net/Tls.h"

namespace Pondar::Net {

// What a read does when one wait of the stall limit runs out without a byte.
enum class TRecvStall {
  WaitAgain,  // keep waiting while the connection is open (the requesting side)
  Fail,       // give up: the peer made no progress within the limit (the server side)
};

// A connection is used by one thread at a time, except for Interrupt. Reads and writes block.
//
// Time limits:
// - The stall limit bounds each wait for a byte to arrive or for room to send one. A write that
//   makes no progress within it fails. A read that makes none fails on the server's side; on
//   the requesting side it waits again for as long as the connection is open and keep-alive
//   holds (a busy peer may take long to start a reply), unless the cancel flag is set.
// - The deadline, when set, bounds the whole request: every read and write fails once it has
//   passed, and no wait lasts beyond it, so a peer that trickles a byte now and then cannot
//   hold a request for longer. Unset by default. With a minimum rate, every byte moved either
//   way pushes the deadline back by 1 / rate seconds: bulk that keeps above the rate never runs
//   out, a transfer that stalls does (see core/Limits.h).
//
// Writes are gathered up to OutBufferBytes and leave on Flush (or when more is written), held
// back from the network with MSG_MORE while more follows, so that a header and a short body
// leave in one segment. A write of OutBufferBytes or more goes out at once.
//
// Keyed mode: a connection made with a TLS context (net/Tls.h) carries every byte inside TLS 1.3;
// the methods below read and write the same plain bytes as without, under the same limits, and
// the handshake counts against them like any other byte moved. A handshake that fails (a peer
// without the key or with another one) fails the connection's first read or write, or Connect.
// Without a context nothing differs, on the wire or here.
class TConnection final : public TInStream, public TOutStream {
 public:
  static constexpr size_t OutBufferBytes = 65536;

  // Not connected.
  TConnection() = default;
  // Takes a socket that accept() gave, with the server's limits: AStallMs (reads fail too).
  // Not connected when the socket cannot be set up. With ATls, the connection answers a TLS
  // handshake, which ReadByteNow drives without blocking: until it has given the first byte the
  // socket does not block, from then on it does, as every other connection.
  TConnection(TSocket ASock, RawUtf8 APeerIP, int AStallMs,
              std::shared_ptr<const TTlsContext> ATls = nullptr);
  TConnection(TConnection&& AOther) noexcept = default;
  TConnection& operator=(TConnection&& AOther) noexcept = default;
  ~TConnection() override = default;

  // A connection to AHost:APort (dotted IPv4) made within ConnectTimeoutMs, with the requester's
  // limits (RequesterTimeoutMs; reads wait again). Not connected when it cannot be made in time.
  // With ATls the handshake is done within the same time, and a failed one leaves it unconnected.
  static TConnection Connect(const RawUtf8& AHost, uint16_t APort,
                             std::shared_ptr<const TTlsContext> ATls);
  // The same with the requesting side's context (below).
  static TConnection Connect(const RawUtf8& AHost, uint16_t APort) {
    return Connect(AHost, APort, RequesterTls());
  }

  // The context with which this process makes its connections to peers (Connect and
  // ConnectStart without one): the network key's in keyed mode, none (plain) otherwise. Set by
  // the engine as it starts and stops; any thread. A connection keeps the context it was made
  // with.
  static void SetRequesterTls(std::shared_ptr<const TTlsContext> ATls);
  static std::shared_ptr<const TTlsContext> RequesterTls();

  bool Connected() const { return FSock.Valid(); }
  explicit operator bool() const { return Connected(); }
  // The peer's dotted IPv4 address.
  const RawUtf8& PeerIP() const { return FPeerIP; }
  // The descriptor, for waiting in poll() until the connection is readable: bytes go through
  // the methods below, never through the descriptor.
  int PollFd() const { return FSock.Fd(); }
  // The poll() events to wait for before the next step that must not block: AUnencrypted (what
  // that step needs) on a plain connection; on an encrypted one, what its TLS session waits for,
  // which may be the other way (a handshake has to read before the first send can go).
  short PollEvents(short AUnencrypted) const;
  // True when the bytes travel inside TLS.
  bool Encrypted() const { return FTls != nullptr; }
  // True when the kernel encrypts what is sent (kernel TLS): files then go by sendfile.
  bool KernelTlsSend() const;

  // Changes the stall limit; false when the system refuses.
  bool SetStallLimit(int AMs);
  // While *ACancel is set, a read that has waited out a stall limit fails instead of waiting
  // again. Null: no cancel. The flag must outlive the connection's use.
  void SetCancel(const std::atomic<bool>* ACancel) { FCancel = ACancel; }
  // The whole-request deadline as a tick of Core::GetTickCount64; 0 removes it. AMinBytesPerSec
  // (0: none) lets each byte moved from now on push it back, as above.
  void SetDeadline(uint64_t ATick, uint32_t AMinBytesPerSec = 0);
  // The request's budget as core/Limits.h sets it: ABaseMs from now, pushed back by the bytes
  // moved at the minimum transfer rate; and never more than ABaseMs without a byte moved, so that
  // time earned by a fast start cannot be spent on a stall.
  void SetRequestBudget(int ABaseMs);

  // ---- without blocking, for a sender that drives many connections from one thread ----

  // A connection to AHost:APort that is being made, with the requesting side's TLS context: poll
  // PollFd for POLLOUT, then ask ConnectDone. Not connected when it cannot even be started.
  static TConnection ConnectStart(const RawUtf8& AHost, uint16_t APort);
  // After POLLOUT: true when the connection was made (it stays non-blocking), false when it
  // was refused or failed. An encrypted connection's handshake is then driven by SendNow.
  bool ConnectDone();
  // Sends what the socket takes now of ACount bytes: their number (0: no room now, or the
  // handshake is still under way: poll for PollEvents(POLLOUT)), or -1 when the connection
  // failed, its handshake failed or its deadline has passed. Counts towards the minimum rate.
  ssize_t SendNow(const uint8_t* AData, size_t ACount);
  // The deadline with what has been moved so far counted in, and the stall limit of a request
  // budget; 0 when there is none.
  uint64_t DeadlineTick() const;
  // True once that deadline has passed.
  bool OutOfTime() const;

  // The result of a read that must not block.
  enum class TPoll { Byte, Nothing, Closed };
  // One byte if it is already here: Byte (AOut set), Nothing yet, or Closed (the peer closed or
  // reset before sending one).
  TPoll ReadByteNow(uint8_t& AOut);

  bool Read(void* ABuffer, size_t ACount) override;
  bool Write(const void* AData, size_t ACount) override;
  bool Flush() override;
  bool WriteFromFile(int AFileFd, int64_t ACount) override;

  // Makes every read and write on this connection fail at once, now and later; safe from any
  // thread while another uses the connection. The socket stays open until Close, so that its
  // number is never reused under a caller that still holds it.
  void Interrupt() const;
  // Closes the socket; what is still gathered is dropped. The destructor does the same.
  void Close();

 private:
  TConnection(TSocket ASock, RawUtf8 APeerIP, TRecvStall AStall, int AStallMs);
  bool Tune();
  // Starts a TLS session on the socket as the accepting or the connecting side.
  bool StartTls(std::shared_ptr<const TTlsContext> ATls, bool AServer);
  // After a TLS call that did not go through: true when it only waits for the socket (noted in
  // FTlsWantsRead), false when the session failed.
  bool TlsMustWait(int AResult);
  // The blocking part of Connect: the handshake within ADeadlineTick on a non-blocking socket.
  bool Handshake(uint64_t ADeadlineTick);
  bool SendRaw(const uint8_t* AData, size_t ACount, bool AMore);
  // False once the deadline has passed; otherwise makes sure no wait lasts beyond it.
  bool BeforeWait();

  TSocket FSock;
  RawUtf8 FPeerIP;
  TRecvStall FStall = TRecvStall::Fail;
  int FStallMs = 0;
  const std::atomic<bool>* FCancel = nullptr;
  uint64_t FDeadlineTick = 0;
  uint32_t FMinRate = 0;  // bytes per second that each push the deadline back by one second
  uint64_t FMoved = 0;    // bytes read and sent since the deadline was set
  int FStallCapMs = 0;    // a request budget's longest time without a byte moved; 0: none
  uint64_t FLastMoveTick = 0;
  void Moved(size_t ACount);
  int FWaitMs = 0;  // the wait the socket's time-outs are set to now
  TBytes FOut;      // written, not yet sent

  struct TSslFree {
    void operator()(SSL* ASsl) const;
  };
  std::shared_ptr<const TTlsContext> FTlsContext;
  std::unique_ptr<SSL, TSslFree> FTls;  // the session, in keyed mode
  bool FTlsWantsRead = false;           // the session's last step waits for bytes to read
  bool FTlsBlocking = true;             // the socket blocks (from the first byte on)
};

}  // namespace Pondar::Net
