// Plays a Wayland desktop for the lab: a compositor's screen as a PipeWire video source of known
// pixels (support/TestPicture.h), and the desktop portal's screen cast interface on the session
// bus, which hands that stream out. No dialog: a Start without a known restore token counts as
// the user being asked, and is granted unless told to decline.
//
//   fake_desktop COMMANDS WIDTH HEIGHT FORMAT
//
// FORMAT is a PipeWire video format by its byte order (BGRx, RGBx, xRGB, ...), the only one the
// source offers. COMMANDS is a FIFO (made here) that takes one command a line:
//   fill X Y W H RRGGBB   paints a rectangle and sends a new picture
//   decline on|off        answer the next Starts as a user who declines
//   hold on|off           leave the next Starts unanswered, as a user who never clicks
//   drop                  the portal closes every session and the stream ends (a new stream is
//                         published for later shares)
//   format NAME           the stream is published anew in another format
//   leave                 the portal leaves the bus
// Standard output gets one line per event, flushed: "node N" each time the stream is published,
// "ready" once the portal is on the bus, "asked", "restored TOKEN", "declined", "granted
// TOKEN" (or "granted -" without a token), "streaming", "dropped", "left". Runs until killed.
#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <poll.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestPicture.h"

namespace {

constexpr const char* KPath = "/org/freedesktop/portal/desktop";

void Say(const std::string& ALine) {
  std::printf("%s\n", ALine.c_str());
  std::fflush(stdout);
}

[[noreturn]] void Die(const std::string& AWhy) {
  std::fprintf(stderr, "fake_desktop: %s\n", AWhy.c_str());
  std::exit(1);
}

// ---- the screen: a PipeWire source that sends a picture when it changes ----

struct TScreen {
  int Width = 0, Height = 0;
  uint32_t Format = 0;
  int Channel[3] = {};            // byte of red, green, blue in a pixel, from the format's name
  std::vector<uint32_t> Picture;  // 0xRRGGBB, top row first
  pw_thread_loop* Loop = nullptr;
  pw_stream* Stream = nullptr;
  spa_hook Listener{};
  // Like a compositor's frame clock: every 50 ms, a picture that changed and is not sent yet
  // goes out. A trigger of a stream just started may go unheard; this one comes again.
  spa_source* Clock = nullptr;
  bool Pending = false;  // under the loop's lock
  uint32_t Node = SPA_ID_INVALID;
  bool Streaming = false;
};

TScreen GScreen;

void OnProcess(void*) {
  pw_buffer* buffer = pw_stream_dequeue_buffer(GScreen.Stream);
  if (!buffer) return Say("skipped");  // every buffer is with the viewer
  spa_data& data = buffer->buffer->datas[0];
  auto* out = static_cast<uint8_t*>(data.data);
  const int stride = GScreen.Width * 4 + 16;  // padded, as compositors' rows often are
  if (!out || data.maxsize < uint32_t(stride * GScreen.Height)) {
    pw_stream_queue_buffer(GScreen.Stream, buffer);
    return;
  }
  for (int y = 0; y < GScreen.Height; ++y) {
    uint8_t* row = out + size_t(y) * stride;
    for (int x = 0; x < GScreen.Width; ++x) {
      const uint32_t rgb = GScreen.Picture[size_t(y) * GScreen.Width + x];
      uint8_t* pixel = row + x * 4;
      std::memset(pixel, 0x77, 4);  // the unused byte: anything but the colours
      pixel[GScreen.Channel[0]] = uint8_t(rgb >> 16);
      pixel[GScreen.Channel[1]] = uint8_t(rgb >> 8);
      pixel[GScreen.Channel[2]] = uint8_t(rgb);
    }
  }
  data.chunk->offset = 0;
  data.chunk->stride = stride;
  data.chunk->size = uint32_t(stride * GScreen.Height);
  pw_stream_queue_buffer(GScreen.Stream, buffer);
  GScreen.Pending = false;
  Say("picture");
}

void OnState(void*, pw_stream_state, pw_stream_state AState, const char*) {
  if (GScreen.Node == SPA_ID_INVALID && AState != PW_STREAM_STATE_ERROR) {
    GScreen.Node = pw_stream_get_node_id(GScreen.Stream);
    if (GScreen.Node != SPA_ID_INVALID) Say("node " + std::to_string(GScreen.Node));
  }
  GScreen.Streaming = AState == PW_STREAM_STATE_STREAMING;
  if (GScreen.Streaming) {
    Say("streaming");
    GScreen.Pending = true;  // the first picture
  }
}

void OnParamChanged(void*, uint32_t AId, const spa_pod* AParam) {
  if (AId != SPA_PARAM_Format || !AParam) return;
  uint8_t storage[256];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const int stride = GScreen.Width * 4 + 16;
  spa_pod_frame frame{};
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_add(&builder, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(3, 2, 8),
                      SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
                      SPA_POD_Int(stride * GScreen.Height), SPA_PARAM_BUFFERS_stride,
                      SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
                      SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd), 0);
  const auto* params = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
  pw_stream_update_params(GScreen.Stream, &params, 1);
}

// Publishes the stream as a new node. Under the loop's lock.
void ConnectScreen() {
  uint8_t storage[512];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_rectangle size{uint32_t(GScreen.Width), uint32_t(GScreen.Height)};
  const spa_fraction rate{0, 1};
  spa_pod_frame frame{};
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                      SPA_FORMAT_VIDEO_format, SPA_POD_Id(GScreen.Format), SPA_FORMAT_VIDEO_size,
                      SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate),
                      0);
  const auto* format = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
  GScreen.Node = SPA_ID_INVALID;
  // A driver, as compositors are: pictures go out when this side says so, not on a clock.
  if (pw_stream_connect(GScreen.Stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                        &format, 1) < 0)
    Die("cannot publish the stream");
}

// The stream's format by its byte-order name; where red, green and blue go follows from it.
void SetFormat(const std::string& AName) {
  GScreen.Format = 0;
  for (const spa_type_info* info = spa_type_video_format; info->name; ++info) {
    const char* shortName = std::strrchr(info->name, ':');
    if (shortName && AName == shortName + 1) GScreen.Format = info->type;
  }
  if (!GScreen.Format || AName.size() != 4) Die("unknown format " + AName);
  for (int i = 0; i < 4; ++i) {
    const char* at = std::strchr("RGB", AName[i]);
    if (at && AName[i]) GScreen.Channel[at - "RGB"] = i;
  }
}

void StartScreen(const char* AFormatName) {
  SetFormat(AFormatName);
  pw_init(nullptr, nullptr);
  GScreen.Loop = pw_thread_loop_new("fake-desktop", nullptr);
  pw_context* context = pw_context_new(pw_thread_loop_get_loop(GScreen.Loop), nullptr, 0);
  if (!context || pw_thread_loop_start(GScreen.Loop) < 0) Die("no PipeWire");
  pw_thread_loop_lock(GScreen.Loop);
  pw_loop* loop = pw_thread_loop_get_loop(GScreen.Loop);
  GScreen.Clock = pw_loop_add_timer(
      loop,
      [](void*, uint64_t) {
        if (GScreen.Streaming && GScreen.Pending) pw_stream_trigger_process(GScreen.Stream);
      },
      nullptr);
  timespec tick{0, 50'000'000};
  pw_loop_update_timer(loop, GScreen.Clock, &tick, &tick, false);
  pw_core* core = pw_context_connect(context, nullptr, 0);
  if (!core) Die("cannot reach the PipeWire daemon");
  GScreen.Stream =
      pw_stream_new(core, "pondar test screen",
                    pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME,
                                      "pondar-test-screen", nullptr));
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = OnState;
    e.param_changed = OnParamChanged;
    e.process = OnProcess;
    return e;
  }();
  pw_stream_add_listener(GScreen.Stream, &GScreen.Listener, &events, nullptr);
  ConnectScreen();
  pw_thread_loop_unlock(GScreen.Loop);
}

// ---- the portal ----

struct TPortal {
  sd_bus* Bus = nullptr;
  bool Decline = false;
  bool Hold = false;  // the user never answers
  unsigned Tokens = 0;
  std::set<std::string> ValidTokens;  // handed out and not used yet
  std::set<std::string> Sessions;     // open session paths
  std::string RestoreToken;           // of the SelectSources before the Start
  uint32_t PersistMode = 0;
};

TPortal GPortal;

std::string SenderPart(sd_bus_message* AMessage) {
  std::string out;
  for (const char* c = sd_bus_message_get_sender(AMessage) + 1; *c; ++c)
    out += *c == '.' ? '_' : *c;
  return out;
}

// Reads the a{sv} of options, keeping the string and number values.
void ReadOptions(sd_bus_message* AMessage, std::map<std::string, std::string>& AOut) {
  sd_bus_message_enter_container(AMessage, 'a', "{sv}");
  while (sd_bus_message_enter_container(AMessage, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    char type = 0;
    sd_bus_message_read(AMessage, "s", &key);
    sd_bus_message_peek_type(AMessage, &type, &contents);
    if (contents && std::strcmp(contents, "s") == 0) {
      const char* text = nullptr;
      sd_bus_message_read(AMessage, "v", "s", &text);
      AOut[key] = text;
    } else if (contents && std::strcmp(contents, "u") == 0) {
      uint32_t number = 0;
      sd_bus_message_read(AMessage, "v", "u", &number);
      AOut[key] = std::to_string(number);
    } else {
      sd_bus_message_skip(AMessage, "v");
    }
    sd_bus_message_exit_container(AMessage);
  }
  sd_bus_message_exit_container(AMessage);
}

// Answers a method that works through a Request: its path now, then the Response signal.
int Respond(sd_bus_message* ACall, const std::string& AToken, uint32_t ACode,
            const std::function<void(sd_bus_message*)>& AResults) {
  const std::string request = std::string(KPath) + "/request/" + SenderPart(ACall) + "/" + AToken;
  sd_bus_reply_method_return(ACall, "o", request.c_str());
  sd_bus_message* signal = nullptr;
  sd_bus_message_new_signal(GPortal.Bus, &signal, request.c_str(), "org.freedesktop.portal.Request",
                            "Response");
  sd_bus_message_append(signal, "u", ACode);
  sd_bus_message_open_container(signal, 'a', "{sv}");
  if (ACode == 0) AResults(signal);
  sd_bus_message_close_container(signal);
  sd_bus_send(GPortal.Bus, signal, nullptr);
  sd_bus_message_unref(signal);
  return 1;
}

int OpenPipeWire(sd_bus_message* ACall) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/pipewire-0",
                std::getenv("XDG_RUNTIME_DIR"));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0)
    return sd_bus_reply_method_errorf(ACall, SD_BUS_ERROR_FAILED, "no PipeWire");
  const int r = sd_bus_reply_method_return(ACall, "h", fd);
  ::close(fd);
  return r < 0 ? r : 1;
}

int OnCall(sd_bus_message* ACall, void*, sd_bus_error*) {
  const char* member = sd_bus_message_get_member(ACall);
  const std::string method = member ? member : "";
  if (sd_bus_message_is_method_call(ACall, "org.freedesktop.DBus.Properties", "Get")) {
    const char* interface = nullptr;
    const char* name = nullptr;
    sd_bus_message_read(ACall, "ss", &interface, &name);
    const std::string property = name ? name : "";
    const uint32_t value = property == "version" ? 4 : property == "AvailableCursorModes" ? 3 : 1;
    return sd_bus_reply_method_return(ACall, "v", "u", value);
  }
  if (!sd_bus_message_is_method_call(ACall, "org.freedesktop.portal.ScreenCast", nullptr)) return 0;
  std::map<std::string, std::string> options;
  if (method == "CreateSession") {
    ReadOptions(ACall, options);
    const std::string session = std::string(KPath) + "/session/" + SenderPart(ACall) + "/" +
                                options["session_handle_token"];
    GPortal.Sessions.insert(session);
    return Respond(ACall, options["handle_token"], 0, [&](sd_bus_message* AOut) {
      sd_bus_message_append(AOut, "{sv}", "session_handle", "s", session.c_str());
    });
  }
  const char* session = nullptr;
  sd_bus_message_read(ACall, "o", &session);
  if (method == "OpenPipeWireRemote") return OpenPipeWire(ACall);
  if (method == "SelectSources") {
    ReadOptions(ACall, options);
    GPortal.RestoreToken = options["restore_token"];
    GPortal.PersistMode = uint32_t(std::atoi(options["persist_mode"].c_str()));
    if (options["types"] != "1" || options["cursor_mode"] != "2")
      Say("wrong sources " + options["types"] + " " + options["cursor_mode"]);
    return Respond(ACall, options["handle_token"], 0, [](sd_bus_message*) {});
  }
  if (method == "Start") {
    const char* parent = nullptr;
    sd_bus_message_read(ACall, "s", &parent);
    ReadOptions(ACall, options);
    const std::string used = GPortal.RestoreToken;
    if (!used.empty() && GPortal.ValidTokens.erase(used)) {
      Say("restored " + used);
    } else {
      Say("asked");
      if (GPortal.Hold) {
        const std::string request =
            std::string(KPath) + "/request/" + SenderPart(ACall) + "/" + options["handle_token"];
        return sd_bus_reply_method_return(ACall, "o", request.c_str());
      }
      if (GPortal.Decline) {
        Say("declined");
        return Respond(ACall, options["handle_token"], 1, {});
      }
    }
    const std::string token = GPortal.PersistMode ? "tok" + std::to_string(++GPortal.Tokens) : "";
    if (!token.empty()) GPortal.ValidTokens.insert(token);
    Say("granted " + (token.empty() ? std::string("-") : token));
    return Respond(ACall, options["handle_token"], 0, [&](sd_bus_message* AOut) {
      sd_bus_message_open_container(AOut, 'e', "sv");
      sd_bus_message_append(AOut, "s", "streams");
      sd_bus_message_open_container(AOut, 'v', "a(ua{sv})");
      sd_bus_message_open_container(AOut, 'a', "(ua{sv})");
      sd_bus_message_append(AOut, "(ua{sv})", GScreen.Node, 1, "source_type", "u", 1);
      sd_bus_message_close_container(AOut);
      sd_bus_message_close_container(AOut);
      sd_bus_message_close_container(AOut);
      if (!token.empty()) sd_bus_message_append(AOut, "{sv}", "restore_token", "s", token.c_str());
    });
  }
  return 0;
}

void Command(const std::string& ALine) {
  std::istringstream in(ALine);
  std::string verb;
  in >> verb;
  if (verb == "fill") {
    int x0 = 0, y0 = 0, w = 0, h = 0;
    std::string hex;
    in >> x0 >> y0 >> w >> h >> hex;
    const auto rgb = uint32_t(std::strtoul(hex.c_str(), nullptr, 16));
    pw_thread_loop_lock(GScreen.Loop);
    for (int y = y0; y < y0 + h && y < GScreen.Height; ++y)
      for (int x = x0; x < x0 + w && x < GScreen.Width; ++x)
        GScreen.Picture[size_t(y) * GScreen.Width + x] = rgb;
    GScreen.Pending = true;
    pw_thread_loop_unlock(GScreen.Loop);
  } else if (verb == "decline" || verb == "hold") {
    std::string on;
    in >> on;
    (verb == "hold" ? GPortal.Hold : GPortal.Decline) = on == "on";
  } else if (verb == "format") {
    std::string name;
    in >> name;
    pw_thread_loop_lock(GScreen.Loop);
    SetFormat(name);
    pw_stream_disconnect(GScreen.Stream);
    ConnectScreen();
    pw_thread_loop_unlock(GScreen.Loop);
  } else if (verb == "leave") {
    sd_bus_release_name(GPortal.Bus, "org.freedesktop.portal.Desktop");
    Say("left");
  } else if (verb == "drop") {
    for (const std::string& session : GPortal.Sessions)
      sd_bus_emit_signal(GPortal.Bus, session.c_str(), "org.freedesktop.portal.Session", "Closed",
                         "a{sv}", 0);
    GPortal.Sessions.clear();
    pw_thread_loop_lock(GScreen.Loop);
    pw_stream_disconnect(GScreen.Stream);
    Say("dropped");
    ConnectScreen();  // for the shares to come
    pw_thread_loop_unlock(GScreen.Loop);
  }
}

}  // namespace

int main(int AArgc, char** AArgv) {
  if (AArgc != 5) {
    std::fprintf(stderr, "usage: fake_desktop COMMANDS WIDTH HEIGHT FORMAT\n");
    return 2;
  }
  GScreen.Width = std::atoi(AArgv[2]);
  GScreen.Height = std::atoi(AArgv[3]);
  if (GScreen.Width <= 0 || GScreen.Height <= 0) Die("bad size");
  GScreen.Picture.resize(size_t(GScreen.Width) * GScreen.Height);
  for (int y = 0; y < GScreen.Height; ++y)
    for (int x = 0; x < GScreen.Width; ++x)
      GScreen.Picture[size_t(y) * GScreen.Width + x] = PondarTest::TestPicture(x, y);

  ::mkfifo(AArgv[1], 0600);
  // Read and write: the FIFO never reads as ended while no test holds it open.
  const int commands = ::open(AArgv[1], O_RDWR | O_CLOEXEC);
  if (commands < 0) Die("cannot open " + std::string(AArgv[1]));

  StartScreen(AArgv[4]);
  if (sd_bus_open_user(&GPortal.Bus) < 0) Die("no session bus");
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_fallback(GPortal.Bus, &slot, KPath, OnCall, nullptr) < 0 ||
      sd_bus_request_name(GPortal.Bus, "org.freedesktop.portal.Desktop", 0) < 0)
    Die("cannot take the portal's name");
  Say("ready");

  std::string pending;
  for (;;) {
    while (sd_bus_process(GPortal.Bus, nullptr) > 0) {
    }
    pollfd fds[2] = {{sd_bus_get_fd(GPortal.Bus), short(sd_bus_get_events(GPortal.Bus)), 0},
                     {commands, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents & POLLIN) {
      char buffer[512];
      const ssize_t got = ::read(commands, buffer, sizeof buffer);
      if (got > 0) pending.append(buffer, size_t(got));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
        Command(pending.substr(0, end));
    }
  }
}
