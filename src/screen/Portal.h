// The desktop portal's screen cast conversation (org.freedesktop.portal.ScreenCast on the
// session bus): how a program without special rights gets a Wayland desktop's screen, as a
// PipeWire stream the user agreed to share.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;

namespace Pondard::Screen {

// What the portal handed over once the user agreed.
struct TPortalGrant {
  uint32_t NodeId = 0;  // the PipeWire node of the shared monitor
  int PipeWireFd = -1;  // a connection to PipeWire that sees that node; the caller owns it
  std::string
      RestoreToken;  // shares again without asking when handed to the next Open; may be empty
};

// One screen cast session on the session bus. Every call blocks its caller (one worker thread,
// never the window's) until the portal answered, the bus failed or the worker was told to stop.
// Failures the user must hear of throw TScreenUnavailable with the reason in the user's words.
class TPortalSession {
 public:
  // Every wait ends once AStopped holds: at once when AWakeFd (the worker's WakeFd, not owned)
  // becomes readable, and within StopCheckMs when there is none (-1). Throws TScreenUnavailable
  // when there is no session bus.
  TPortalSession(int AWakeFd, std::function<bool()> AStopped);
  // Closes the session: the desktop stops sharing the screen.
  ~TPortalSession();
  TPortalSession(const TPortalSession&) = delete;
  TPortalSession& operator=(const TPortalSession&) = delete;

  // Asks for one monitor with the mouse pointer drawn in, persistently where the portal can
  // (ARestoreToken from an earlier grant spares the user the dialog, if the desktop still
  // takes it; otherwise the portal asks again). Waits as long as the user takes. False when
  // stopped; throws TScreenUnavailable when refused (declined, no portal, portal error).
  bool Open(const std::string& ARestoreToken, TPortalGrant& AGrant);
  // After Open: waits until the desktop closes the session (returns true: the user stopped
  // sharing, or the desktop ended it) or until stopped (false). Throws TScreenUnavailable when
  // the bus connection is lost.
  bool WaitClosed();

 private:
  struct TRelease {
    void operator()(sd_bus* ABus) const;
    void operator()(sd_bus_slot* ASlot) const;
  };
  // Reads the bus and waits on it until ADone holds; false when stopped first.
  template <class TDone>
  bool Pump(TDone ADone);
  // Sends ACall and waits for its reply: a new reference, or null when stopped first. Throws
  // TScreenUnavailable when the call failed.
  sd_bus_message* Call(sd_bus_message* ACall);
  bool Request(const char* AMethod, const std::string& ASession, const std::string& AToken,
               const std::string& ARestoreToken, uint32_t AVersion, TPortalGrant* AGrant);
  uint32_t Property(const char* AName);

  static constexpr int StopCheckMs = 50;

  const int FWakeFd;
  const std::function<bool()> FStopped;
  std::unique_ptr<sd_bus, TRelease> FBus;
  std::unique_ptr<sd_bus_slot, TRelease> FClosedSlot;  // the session's Closed signal
  std::string FSender;   // our unique bus name in the portal's object paths: ":1.42" -> "1_42"
  std::string FSession;  // the session's object path, once created
  bool FClosed = false;
};

}  // namespace Pondard::Screen
