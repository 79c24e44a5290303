#include "screen/Portal.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "screen/Capture.h"

namespace Pondard::Screen {

namespace {

constexpr const char* KPortal = "org.freedesktop.portal.Desktop";
constexpr const char* KPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* KScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* KSessionInterface = "org.freedesktop.portal.Session";

// The portal's numbers: source types, cursor modes, persist modes.
constexpr uint32_t KMonitor = 1;
constexpr uint32_t KCursorHidden = 1, KCursorEmbedded = 2;
constexpr uint32_t KPersistUntilRevoked = 2;

struct TMessageUnref {
  void operator()(sd_bus_message* AMessage) const { sd_bus_message_unref(AMessage); }
};
using TMessage = std::unique_ptr<sd_bus_message, TMessageUnref>;
struct TSlotUnref {
  void operator()(sd_bus_slot* ASlot) const { sd_bus_slot_unref(ASlot); }
};
using TSlot = std::unique_ptr<sd_bus_slot, TSlotUnref>;

[[noreturn]] void Unavailable(const std::string& AWhy) {
  throw TScreenUnavailable(AWhy);
}

std::string ErrnoText(int AResult) {
  return std::strerror(AResult < 0 ? -AResult : AResult);
}

// sd-bus reports a malformed message, or one not as the portal's documentation has it, here.
int Check(int AResult, const char* AWhat) {
  if (AResult < 0)
    Unavailable(std::string("the desktop portal's answer could not be read (") + AWhat + ": " +
                ErrnoText(AResult) + ")");
  return AResult;
}

// The user's words for a failed call to the portal.
std::string CallFailure(const sd_bus_error* AError) {
  const std::string_view name = AError->name ? AError->name : "";
  if (name == SD_BUS_ERROR_SERVICE_UNKNOWN || name == SD_BUS_ERROR_NAME_HAS_NO_OWNER)
    return "no desktop portal answers on the session bus (is xdg-desktop-portal installed?)";
  if (name == SD_BUS_ERROR_UNKNOWN_INTERFACE || name == SD_BUS_ERROR_UNKNOWN_METHOD ||
      name == SD_BUS_ERROR_UNKNOWN_PROPERTY || name == SD_BUS_ERROR_UNKNOWN_OBJECT)
    return "the desktop portal cannot share screens here (no portal backend of this desktop "
           "offers it)";
  return "the desktop portal failed: " + std::string(AError->message ? AError->message : name);
}

// Object paths take letters, digits and underscores; a counter keeps requests of one
// connection apart.
std::string NewToken() {
  static std::atomic<unsigned> counter{0};
  return "pondard" + std::to_string(++counter);
}

// Calls AField(key) for each entry of the a{sv} at the read position; AField reads the value
// or returns false to have it skipped.
template <class TField>
void ReadOptions(sd_bus_message* AMessage, TField AField) {
  Check(sd_bus_message_enter_container(AMessage, 'a', "{sv}"), "results");
  while (Check(sd_bus_message_enter_container(AMessage, 'e', "sv"), "result") > 0) {
    const char* key = nullptr;
    Check(sd_bus_message_read(AMessage, "s", &key), "result name");
    if (!AField(std::string(key))) Check(sd_bus_message_skip(AMessage, "v"), "result value");
    Check(sd_bus_message_exit_container(AMessage), "result");
  }
  Check(sd_bus_message_exit_container(AMessage), "results");
}

// A string or object path in a variant (portals differ in which they send).
bool ReadText(sd_bus_message* AMessage, std::string& AOut) {
  char type = 0;
  const char* contents = nullptr;
  Check(sd_bus_message_peek_type(AMessage, &type, &contents), "value");
  if (type != 'v' || !contents ||
      (std::string_view(contents) != "s" && std::string_view(contents) != "o"))
    return false;
  const char* text = nullptr;
  Check(sd_bus_message_read(AMessage, "v", contents, &text), "text");
  AOut = text;
  return true;
}

// The first stream's node of "streams", a(ua{sv}).
bool ReadFirstNode(sd_bus_message* AMessage, uint32_t& ANode, bool& AFound) {
  Check(sd_bus_message_enter_container(AMessage, 'v', "a(ua{sv})"), "streams");
  Check(sd_bus_message_enter_container(AMessage, 'a', "(ua{sv})"), "streams");
  while (Check(sd_bus_message_enter_container(AMessage, 'r', "ua{sv}"), "stream") > 0) {
    uint32_t node = 0;
    Check(sd_bus_message_read(AMessage, "u", &node), "stream node");
    Check(sd_bus_message_skip(AMessage, "a{sv}"), "stream properties");
    Check(sd_bus_message_exit_container(AMessage), "stream");
    if (!AFound) ANode = node;
    AFound = true;
  }
  Check(sd_bus_message_exit_container(AMessage), "streams");
  Check(sd_bus_message_exit_container(AMessage), "streams");
  return true;
}

uint64_t MonotonicMicroseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace

void TPortalSession::TRelease::operator()(sd_bus* ABus) const {
  sd_bus_flush_close_unref(ABus);
}
void TPortalSession::TRelease::operator()(sd_bus_slot* ASlot) const {
  sd_bus_slot_unref(ASlot);
}

TPortalSession::TPortalSession(int AWakeFd, std::function<bool()> AStopped)
    : FWakeFd(AWakeFd), FStopped(std::move(AStopped)) {
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_user(&bus);
  if (r < 0)
    Unavailable("there is no session bus to reach the desktop portal (" + ErrnoText(r) + ")");
  FBus.reset(bus);
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus, &unique) < 0 || !unique || unique[0] != ':')
    Unavailable("the session bus did not let us in");
  for (const char* c = unique + 1; *c; ++c) FSender += *c == '.' ? '_' : *c;
}

TPortalSession::~TPortalSession() {
  if (FSession.empty() || FClosed || !FBus) return;
  // Without waiting for an answer: the share ends as the portal takes the call, and at the
  // latest when our connection closes just after.
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(FBus.get(), &call, KPortal, FSession.c_str(),
                                     KSessionInterface, "Close") >= 0) {
    const TMessage owner(call);
    sd_bus_message_set_expect_reply(call, 0);
    sd_bus_send(FBus.get(), call, nullptr);
  }
}

template <class TDone>
bool TPortalSession::Pump(TDone ADone) {
  sd_bus* bus = FBus.get();
  for (;;) {
    if (ADone()) return true;
    if (FStopped()) return false;
    const int r = sd_bus_process(bus, nullptr);
    if (r < 0) Unavailable("the connection to the desktop portal was lost (" + ErrnoText(r) + ")");
    if (r > 0) continue;  // there may be more waiting
    if (ADone()) return true;
    uint64_t until = UINT64_MAX;
    int timeoutMs = -1;
    if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
      const uint64_t now = MonotonicMicroseconds();
      timeoutMs = until <= now
                      ? 0
                      : static_cast<int>(std::min<uint64_t>((until - now + 999) / 1000, 60000));
    }
    // Without a wake descriptor the stop is looked for now and then.
    if (FWakeFd < 0 && (timeoutMs < 0 || timeoutMs > StopCheckMs)) timeoutMs = StopCheckMs;
    pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                     {FWakeFd, POLLIN, 0}};
    if (::poll(fds, FWakeFd >= 0 ? 2 : 1, timeoutMs) < 0 && errno != EINTR)
      Unavailable("waiting for the desktop portal failed (" + ErrnoText(errno) + ")");
    if (fds[1].revents || FStopped()) return false;
  }
}

namespace {

// A method call to the portal's screen cast interface.
TMessage NewCall(sd_bus* ABus, const char* AMethod) {
  sd_bus_message* call = nullptr;
  Check(sd_bus_message_new_method_call(ABus, &call, KPortal, KPortalPath, KScreenCast, AMethod),
        AMethod);
  return TMessage(call);
}

}  // namespace

sd_bus_message* TPortalSession::Call(sd_bus_message* ACall) {
  TMessage reply;
  sd_bus_slot* slot = nullptr;
  Check(sd_bus_call_async(
            FBus.get(), &slot, ACall,
            [](sd_bus_message* AReply, void* AData, sd_bus_error*) -> int {
              static_cast<TMessage*>(AData)->reset(sd_bus_message_ref(AReply));
              return 0;
            },
            &reply, 0),
        "call");
  const TSlot slotOwner(slot);
  if (!Pump([&] { return reply != nullptr; })) return nullptr;
  if (const sd_bus_error* error = sd_bus_message_get_error(reply.get()))
    Unavailable(CallFailure(error));
  return reply.release();
}

uint32_t TPortalSession::Property(const char* AName) {
  sd_bus_message* call = nullptr;
  Check(sd_bus_message_new_method_call(FBus.get(), &call, KPortal, KPortalPath,
                                       "org.freedesktop.DBus.Properties", "Get"),
        "property");
  const TMessage owner(call);
  Check(sd_bus_message_append(call, "ss", KScreenCast, AName), AName);
  const TMessage reply(Call(call));
  if (!reply) return 0;
  uint32_t value = 0;
  Check(sd_bus_message_read(reply.get(), "v", "u", &value), AName);
  return value;
}

bool TPortalSession::Request(const char* AMethod, const std::string& ASession,
                             const std::string& AToken, const std::string& ARestoreToken,
                             uint32_t AVersion, TPortalGrant* AGrant) {
  sd_bus* bus = FBus.get();
  const std::string token = NewToken();
  const std::string path = std::string(KPortalPath) + "/request/" + FSender + "/" + token;

  // Subscribed before the call, so that a quick answer is not missed.
  TMessage response;
  sd_bus_slot* slot = nullptr;
  Check(sd_bus_match_signal(
            bus, &slot, nullptr, path.c_str(), "org.freedesktop.portal.Request", "Response",
            [](sd_bus_message* ASignal, void* AData, sd_bus_error*) -> int {
              static_cast<TMessage*>(AData)->reset(sd_bus_message_ref(ASignal));
              return 0;
            },
            &response),
        "subscription");
  const TSlot responseSlot(slot);

  TMessage call = NewCall(bus, AMethod);
  sd_bus_message* m = call.get();
  const std::string_view method = AMethod;
  if (method != "CreateSession") Check(sd_bus_message_append(m, "o", ASession.c_str()), AMethod);
  if (method == "Start") Check(sd_bus_message_append(m, "s", ""), AMethod);  // no parent window
  Check(sd_bus_message_open_container(m, 'a', "{sv}"), AMethod);
  Check(sd_bus_message_append(m, "{sv}", "handle_token", "s", token.c_str()), AMethod);
  if (method == "CreateSession") {
    Check(sd_bus_message_append(m, "{sv}", "session_handle_token", "s", AToken.c_str()), AMethod);
  } else if (method == "SelectSources") {
    Check(sd_bus_message_append(m, "{sv}", "types", "u", KMonitor), AMethod);
    Check(sd_bus_message_append(m, "{sv}", "multiple", "b", 0), AMethod);
    if (AVersion >= 2) {
      // The pointer drawn into the picture, where the desktop can; viewers see no other.
      const uint32_t modes = Property("AvailableCursorModes");
      const uint32_t mode = modes & KCursorEmbedded ? KCursorEmbedded : KCursorHidden;
      Check(sd_bus_message_append(m, "{sv}", "cursor_mode", "u", mode), AMethod);
    }
    if (AVersion >= 4) {
      Check(sd_bus_message_append(m, "{sv}", "persist_mode", "u", KPersistUntilRevoked), AMethod);
      if (!ARestoreToken.empty())
        Check(sd_bus_message_append(m, "{sv}", "restore_token", "s", ARestoreToken.c_str()),
              AMethod);
    }
  }
  Check(sd_bus_message_close_container(m), AMethod);

  if (!TMessage(Call(m))) return false;
  // As long as the user takes to answer the dialog.
  if (!Pump([&] { return response != nullptr; })) return false;

  uint32_t code = 0;
  Check(sd_bus_message_read(response.get(), "u", &code), "response");
  if (code == 1) Unavailable("the screen share was declined");
  if (code != 0) Unavailable("the desktop refused to share the screen");

  bool haveNode = false;
  ReadOptions(response.get(), [&](const std::string& AKey) {
    if (method == "CreateSession" && AKey == "session_handle")
      return ReadText(response.get(), FSession);
    if (method == "Start" && AKey == "restore_token")
      return ReadText(response.get(), AGrant->RestoreToken);
    if (method == "Start" && AKey == "streams")
      return ReadFirstNode(response.get(), AGrant->NodeId, haveNode);
    return false;
  });
  if (method == "CreateSession" && FSession.empty())
    Unavailable("the desktop portal made no screen cast session");
  if (method == "Start" && !haveNode) Unavailable("the desktop portal shared no screen");
  return true;
}

bool TPortalSession::Open(const std::string& ARestoreToken, TPortalGrant& AGrant) {
  const uint32_t version = Property("version");
  if (version == 0) return false;  // stopped (no portal has version 0)
  if (!Request("CreateSession", "", NewToken(), "", version, nullptr)) return false;

  // Subscribed at once: the desktop may end the share at any moment from now on.
  sd_bus_slot* slot = nullptr;
  Check(sd_bus_match_signal(
            FBus.get(), &slot, nullptr, FSession.c_str(), KSessionInterface, "Closed",
            [](sd_bus_message*, void* AData, sd_bus_error*) -> int {
              *static_cast<bool*>(AData) = true;
              return 0;
            },
            &FClosed),
        "subscription");
  FClosedSlot.reset(slot);

  if (!Request("SelectSources", FSession, "", ARestoreToken, version, nullptr)) return false;
  if (!Request("Start", FSession, "", "", version, &AGrant)) return false;

  TMessage call = NewCall(FBus.get(), "OpenPipeWireRemote");
  Check(sd_bus_message_append(call.get(), "o", FSession.c_str()), "OpenPipeWireRemote");
  Check(sd_bus_message_open_container(call.get(), 'a', "{sv}"), "OpenPipeWireRemote");
  Check(sd_bus_message_close_container(call.get()), "OpenPipeWireRemote");
  const TMessage reply(Call(call.get()));
  if (!reply) return false;
  int fd = -1;
  Check(sd_bus_message_read(reply.get(), "h", &fd), "PipeWire connection");
  // The message owns its descriptor; ours outlives it.
  AGrant.PipeWireFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (AGrant.PipeWireFd < 0)
    Unavailable("the PipeWire connection could not be kept (" + ErrnoText(errno) + ")");
  return true;
}

bool TPortalSession::WaitClosed() {
  return Pump([&] { return FClosed; });
}

}  // namespace Pondard::Screen
