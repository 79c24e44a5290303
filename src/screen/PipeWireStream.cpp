#include "screen/PipeWireStream.h"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>

namespace Pondard::Screen {

std::optional<TChannelOffsets> ChannelOffsetsOf(uint32_t AFormat) {
  // Named by byte order in memory, as GStreamer names them: BGRx is blue, green, red, unused.
  switch (AFormat) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      return TChannelOffsets{0, 1, 2};
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return TChannelOffsets{2, 1, 0};
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
      return TChannelOffsets{3, 2, 1};
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
      return TChannelOffsets{1, 2, 3};
    default:
      return std::nullopt;
  }
}

bool ConvertVideoFrame(const TVideoFrame& AFrame, uint8_t* APixels) {
  if (!AFrame.Data || AFrame.Width <= 0 || AFrame.Height <= 0 || AFrame.Stride < 0) return false;
  const size_t rowBytes = static_cast<size_t>(AFrame.Width) * 4;
  const size_t stride = AFrame.Stride == 0 ? rowBytes : static_cast<size_t>(AFrame.Stride);
  if (stride < rowBytes || AFrame.Offset > AFrame.Size) return false;
  // The last row needs only its pixels, not a whole stride.
  const size_t span = stride * static_cast<size_t>(AFrame.Height - 1) + rowBytes;
  if (span > AFrame.Size - AFrame.Offset) return false;
  ConvertTopDown32(AFrame.Data + AFrame.Offset, stride, AFrame.Width, AFrame.Height,
                   AFrame.Channels, APixels);
  return true;
}

namespace {

// The formats offered to the desktop, the usual one first.
constexpr uint32_t KFormats[] = {
    SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA,
    SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR};

// A stream that stops sending for longer than this has ended; shorter pauses happen while the
// desktop renegotiates the picture's size.
constexpr auto KPauseThatEnds = std::chrono::seconds(2);
// Desktops agree on a picture format within a fraction of a second. One that offers none of
// ours fails only on PipeWire's link, which the stream is not told of: so, after this long
// without a format, the user is.
constexpr auto KNoFormatAfter = std::chrono::seconds(10);

class TPipeWireStream : public TScreenSource {
 public:
  TPipeWireStream() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
  }

  ~TPipeWireStream() override {
    if (!FLoop) return;
    pw_thread_loop_lock(FLoop);
    // The stream gives back the buffers it lent, the one held here among them.
    if (FStream) pw_stream_destroy(FStream);
    if (FCore) pw_core_disconnect(FCore);
    pw_thread_loop_unlock(FLoop);
    pw_thread_loop_stop(FLoop);
    if (FContext) pw_context_destroy(FContext);
    pw_thread_loop_destroy(FLoop);
  }

  void Connect(int AFd, uint32_t ANodeId) {
    FLoop = pw_thread_loop_new("pondard-screen", nullptr);
    if (FLoop) FContext = pw_context_new(pw_thread_loop_get_loop(FLoop), nullptr, 0);
    if (!FContext || pw_thread_loop_start(FLoop) < 0) {
      ::close(AFd);
      throw TScreenUnavailable("PipeWire could not be set up to receive the screen");
    }
    const std::lock_guard lock(*this);
    FConnectedAt = std::chrono::steady_clock::now();
    FCore = pw_context_connect_fd(FContext, AFd, nullptr, 0);
    if (!FCore) throw TScreenUnavailable("the PipeWire connection of the desktop portal failed");
    static const pw_core_events coreEvents = [] {
      pw_core_events events{};
      events.version = PW_VERSION_CORE_EVENTS;
      events.error = OnCoreError;
      return events;
    }();
    pw_core_add_listener(FCore, &FCoreListener, &coreEvents, this);

    FStream = pw_stream_new(FCore, "pondard screen",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Screen",
                                              PW_KEY_NODE_NAME, "pondard-screen", nullptr));
    if (!FStream) throw TScreenUnavailable("PipeWire could not make a screen stream");
    static const pw_stream_events streamEvents = [] {
      pw_stream_events events{};
      events.version = PW_VERSION_STREAM_EVENTS;
      events.state_changed = OnStateChanged;
      events.param_changed = OnParamChanged;
      events.remove_buffer = OnRemoveBuffer;
      events.process = OnProcess;
      return events;
    }();
    pw_stream_add_listener(FStream, &FStreamListener, &streamEvents, this);

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    spa_pod_frame choice{};
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(&builder, KFormats[0]);  // the default
    for (const uint32_t format : KFormats) spa_pod_builder_id(&builder, format);
    spa_pod_builder_pop(&builder, &choice);
    // Any size and rate the desktop offers, ten pictures a second preferred: plenty for
    // captures five times a second, and it spares the compositor copies nobody looks at.
    // Desktops that send only on change take the most as "maxFramerate".
    const spa_rectangle size{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
    const spa_fraction rate{10, 1}, noRate{0, 1}, oneRate{1, 1}, anyRate{360, 1};
    spa_pod_builder_add(
        &builder, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &noRate, &anyRate),
        SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &oneRate, &anyRate),
        0);
    const auto* format = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
    if (!format || pw_stream_connect(FStream, PW_DIRECTION_INPUT, ANodeId,
                                     static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                  PW_STREAM_FLAG_MAP_BUFFERS),
                                     &format, 1) < 0)
      throw TScreenUnavailable("PipeWire could not connect to the screen stream");
  }

  // The loop's own lock guards what the events below change.
  void lock() { pw_thread_loop_lock(FLoop); }
  void unlock() { pw_thread_loop_unlock(FLoop); }

  bool Size(int& AWidth, int& AHeight) override {
    const std::lock_guard lock(*this);
    if (!FFailure.empty()) throw TScreenUnavailable(FFailure);
    if (!FFormatAgreed && std::chrono::steady_clock::now() - FConnectedAt > KNoFormatAfter)
      throw TScreenUnavailable(
          "the desktop sends the screen in no form that can be read here (only 8-bit RGB in "
          "four bytes can)");
    if (!FStreaming) {
      if (FEverStreamed && std::chrono::steady_clock::now() - FStoppedAt > KPauseThatEnds)
        throw TScreenUnavailable("the desktop stopped sending the screen");
      return false;
    }
    if (FWidth <= 0 || FHeight <= 0) return false;
    AWidth = FWidth;
    AHeight = FHeight;
    return true;
  }

  bool Grab(uint8_t* APixels, int AWidth, int AHeight) override {
    const std::lock_guard lock(*this);
    if (!FNewest || AWidth != FWidth || AHeight != FHeight) return false;
    const spa_data& data = FNewest->buffer->datas[0];
    const TVideoFrame frame{static_cast<const uint8_t*>(data.data),
                            data.maxsize,
                            data.chunk->offset,
                            data.chunk->stride,
                            FWidth,
                            FHeight,
                            FChannels};
    const bool ok = ConvertVideoFrame(frame, APixels);
    // Given back at once: the compositor paints the next picture into it.
    pw_stream_queue_buffer(FStream, FNewest);
    FNewest = nullptr;
    if (ok) FGrabbed = FReceived;
    return ok;
  }

  bool SameAsLastGrab() override {
    const std::lock_guard lock(*this);
    return FGrabbed != 0 && FGrabbed == FReceived;
  }

 private:
  // The events below run on the PipeWire thread with the loop's lock held.
  static void OnCoreError(void* AData, uint32_t AId, int, int ARes, const char* AMessage) {
    auto* self = static_cast<TPipeWireStream*>(AData);
    if (AId != PW_ID_CORE) return;
    self->Fail(ARes == -EPIPE ? std::string("the connection to PipeWire was lost")
                              : "PipeWire failed: " + std::string(AMessage ? AMessage : ""));
  }

  static void OnStateChanged(void* AData, pw_stream_state, pw_stream_state AState,
                             const char* AError) {
    auto* self = static_cast<TPipeWireStream*>(AData);
    switch (AState) {
      case PW_STREAM_STATE_ERROR:
        self->Fail("the desktop's screen stream failed (" + std::string(AError ? AError : "") +
                   ")");
        break;
      case PW_STREAM_STATE_UNCONNECTED:
        // As the portal says it: the stream and the portal's session end together, and
        // whichever is heard of first must read the same.
        self->Fail("the desktop ended the screen share");
        break;
      case PW_STREAM_STATE_STREAMING:
        self->FStreaming = self->FEverStreamed = true;
        break;
      default:
        if (self->FStreaming) self->FStoppedAt = std::chrono::steady_clock::now();
        self->FStreaming = false;
        break;
    }
  }

  static void OnParamChanged(void* AData, uint32_t AId, const spa_pod* AParam) {
    auto* self = static_cast<TPipeWireStream*>(AData);
    if (AId != SPA_PARAM_Format || !AParam) return;
    self->GiveBackNewest();
    self->FWidth = self->FHeight = 0;
    uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(AParam, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(AParam, &info) < 0)
      return self->Fail("the desktop sends the screen in a form that is not plain pixels");
    const auto channels = ChannelOffsetsOf(info.format);
    if (!channels) {
      const char* name = spa_debug_type_find_short_name(spa_type_video_format, info.format);
      return self->Fail("the desktop sends the screen as " + std::string(name ? name : "?") +
                        " pixels, and only 8-bit RGB in four bytes can be read here");
    }
    self->FChannels = *channels;
    self->FFormatAgreed = true;
    self->FWidth = static_cast<int>(info.size.width);
    self->FHeight = static_cast<int>(info.size.height);

    // Buffers in memory that can be mapped: no GPU buffers, which need a graphics stack.
    uint8_t buffer[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_add(&builder, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
                        SPA_PARAM_BUFFERS_dataType,
                        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)),
                        0);
    const auto* params = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
    pw_stream_update_params(self->FStream, &params, 1);
  }

  static void OnRemoveBuffer(void* AData, pw_buffer* ABuffer) {
    auto* self = static_cast<TPipeWireStream*>(AData);
    if (self->FNewest == ABuffer) self->FNewest = nullptr;
  }

  // Keeps the newest complete picture and gives every older one back.
  static void OnProcess(void* AData) {
    auto* self = static_cast<TPipeWireStream*>(AData);
    pw_buffer* newest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->FStream)) {
      if (newest) pw_stream_queue_buffer(self->FStream, newest);
      newest = buffer;
    }
    if (!newest) return;
    const spa_buffer* buffer = newest->buffer;
    // An empty chunk carries no picture (a pointer move of a desktop that sends it apart).
    if (buffer->n_datas < 1 || !buffer->datas[0].data || !buffer->datas[0].chunk ||
        buffer->datas[0].chunk->size == 0 ||
        (buffer->datas[0].chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) {
      pw_stream_queue_buffer(self->FStream, newest);
      return;
    }
    self->GiveBackNewest();
    self->FNewest = newest;
    ++self->FReceived;
  }

  void GiveBackNewest() {
    if (FNewest) pw_stream_queue_buffer(FStream, FNewest);
    FNewest = nullptr;
  }

  void Fail(std::string AWhy) {
    if (FFailure.empty()) FFailure = std::move(AWhy);
  }

  pw_thread_loop* FLoop = nullptr;
  pw_context* FContext = nullptr;
  pw_core* FCore = nullptr;
  pw_stream* FStream = nullptr;
  spa_hook FCoreListener{};
  spa_hook FStreamListener{};
  // Under the loop's lock:
  std::string FFailure;
  int FWidth = 0, FHeight = 0;
  TChannelOffsets FChannels;
  pw_buffer* FNewest = nullptr;  // the newest picture not grabbed yet, held back from the desktop
  uint64_t FReceived = 0;        // pictures received
  uint64_t FGrabbed = 0;         // FReceived at the last successful Grab
  bool FStreaming = false;
  bool FEverStreamed = false;
  std::chrono::steady_clock::time_point FStoppedAt;
  bool FFormatAgreed = false;
  std::chrono::steady_clock::time_point FConnectedAt;
};

}  // namespace

std::unique_ptr<TScreenSource> ConnectPipeWireStream(int AFd, uint32_t ANodeId) {
  auto stream = std::make_unique<TPipeWireStream>();
  stream->Connect(AFd, ANodeId);
  return stream;
}

}  // namespace Pondard::Screen
