#include "screen/X11ScreenSource.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "screen/Pixels.h"

namespace Pondard::Screen {

namespace {

// A reply or error of xcb, which hands them out from malloc.
struct TFree {
  void operator()(void* APtr) const { std::free(APtr); }
};
template <class T>
using TReply = std::unique_ptr<T, TFree>;

struct TRect {
  int X = 0, Y = 0, W = 0, H = 0;
};

struct TPixelFormat {
  bool MsbFirst = false;  // the server's image byte order
  int ScanlinePadBits = 32;
  uint32_t Mask[3] = {};  // blue, green, red
  int Shift[3] = {};      // of each mask's lowest bit
  int Bits[3] = {};       // of each mask
  // The usual layout, bytes blue, green, red, unused in memory: rows are copied without
  // looking at the pixels' values.
  bool Plain = false;

  size_t Stride(int AWidth) const {
    const size_t pad = static_cast<size_t>(ScanlinePadBits);
    return (static_cast<size_t>(AWidth) * 32 + pad - 1) / pad * pad / 8;
  }
};

uint8_t Channel(uint32_t APixel, const TPixelFormat& AFormat, int AIndex) {
  const uint32_t value = (APixel & AFormat.Mask[AIndex]) >> AFormat.Shift[AIndex];
  const int bits = AFormat.Bits[AIndex];
  if (bits >= 8) return static_cast<uint8_t>(value >> (bits - 8));
  const uint32_t max = (1u << bits) - 1;
  return static_cast<uint8_t>((value * 255 + max / 2) / max);
}

// Any true-colour layout of 32 bits a pixel (deep colour of 10 bits a channel, the other byte
// order): slower, and only met on unusual servers.
void ConvertRowMasked(const uint8_t* ASrc, uint8_t* ADst, int AWidth, const TPixelFormat& AFmt) {
  for (int x = 0; x < AWidth; ++x, ASrc += 4, ADst += 3) {
    const uint32_t pixel =
        AFmt.MsbFirst
            ? uint32_t{ASrc[0]} << 24 | uint32_t{ASrc[1]} << 16 | uint32_t{ASrc[2]} << 8 | ASrc[3]
            : uint32_t{ASrc[3]} << 24 | uint32_t{ASrc[2]} << 16 | uint32_t{ASrc[1]} << 8 | ASrc[0];
    for (int c = 0; c < 3; ++c) ADst[c] = Channel(pixel, AFmt, c);
  }
}

// The server's rows come top row first, each Stride bytes; the frame wants bottom row first,
// tight.
void ConvertPicture(const uint8_t* ASrc, const TPixelFormat& AFormat, int AWidth, int AHeight,
                    uint8_t* ADst) {
  const size_t stride = AFormat.Stride(AWidth);
  if (AFormat.Plain) return ConvertTopDown32(ASrc, stride, AWidth, AHeight, {}, ADst);
  const size_t rowBytes = static_cast<size_t>(AWidth) * 3;
  for (int y = 0; y < AHeight; ++y)
    ConvertRowMasked(ASrc + static_cast<size_t>(y) * stride,
                     ADst + static_cast<size_t>(AHeight - 1 - y) * rowBytes, AWidth, AFormat);
}

// Fills AFormat for the root window of AScreen; false with AWhy when its pixels cannot be
// turned into 24-bit colour here.
bool ReadPixelFormat(const xcb_setup_t* ASetup, const xcb_screen_t* AScreen, TPixelFormat& AFormat,
                     std::string& AWhy) {
  const int depth = AScreen->root_depth;
  int bitsPerPixel = 0;
  for (auto it = xcb_setup_pixmap_formats_iterator(ASetup); it.rem; xcb_format_next(&it)) {
    if (it.data->depth == depth) {
      bitsPerPixel = it.data->bits_per_pixel;
      AFormat.ScanlinePadBits = it.data->scanline_pad;
    }
  }
  const xcb_visualtype_t* visual = nullptr;
  for (auto d = xcb_screen_allowed_depths_iterator(AScreen); d.rem && !visual;
       xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == AScreen->root_visual) {
        visual = v.data;
        break;
      }
    }
  }
  const std::string what = "a screen of " + std::to_string(depth) + "-bit colour (" +
                           std::to_string(bitsPerPixel) + " bits a pixel)";
  if (bitsPerPixel != 32 || AFormat.ScanlinePadBits % 32 != 0 || !visual) {
    AWhy = "cannot capture " + what + ": only 24- to 32-bit colour stored in 32 bits is supported";
    return false;
  }
  if (visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR &&
      visual->_class != XCB_VISUAL_CLASS_DIRECT_COLOR) {
    AWhy = "cannot capture " + what + " whose colours come from a palette";
    return false;
  }
  AFormat.MsbFirst = ASetup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  const uint32_t masks[3] = {visual->blue_mask, visual->green_mask, visual->red_mask};
  for (int c = 0; c < 3; ++c) {
    const uint32_t mask = masks[c];
    const int shift = mask ? std::countr_zero(mask) : 0;
    // A mask must be one run of bits for the shift-and-scale above to read it.
    if (mask == 0 || ((mask >> shift) & ((mask >> shift) + 1)) != 0) {
      AWhy = "cannot capture " + what + " with unusual colour masks";
      return false;
    }
    AFormat.Mask[c] = mask;
    AFormat.Shift[c] = shift;
    AFormat.Bits[c] = std::popcount(mask);
  }
  if (std::endian::native == std::endian::little && !AFormat.MsbFirst && masks[0] == 0xff &&
      masks[1] == 0xff00 && masks[2] == 0xff0000)
    AFormat.Plain = true;
  return true;
}

class TX11ScreenSource : public TScreenSource {
 public:
  TX11ScreenSource(xcb_connection_t* AConn, xcb_window_t ARoot, const TPixelFormat& AFormat,
                   int ADepth, bool AHaveRandr, bool AHaveShm, std::string ADisplay)
      : FDisplay(std::move(ADisplay)),
        FConn(AConn),
        FRoot(ARoot),
        FFormat(AFormat),
        FDepth(ADepth),
        FHaveRandr(AHaveRandr),
        FUseShm(AHaveShm) {}

  ~TX11ScreenSource() override {
    ReleaseSegment();
    xcb_disconnect(FConn);
  }

  std::string Describe() const override { return "X11 display " + FDisplay; }

  bool Size(int& AWidth, int& AHeight) override {
    if (xcb_connection_has_error(FConn))
      throw std::runtime_error("the connection to the X display was lost");
    // Both asked at once: one round trip for the two.
    const auto geometryCookie = xcb_get_geometry(FConn, FRoot);
    xcb_randr_get_output_primary_cookie_t primaryCookie{};
    if (FHaveRandr) primaryCookie = xcb_randr_get_output_primary(FConn, FRoot);
    const TReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(FConn, geometryCookie, nullptr));
    TRect crtc;
    const bool onCrtc = FHaveRandr && PrimaryCrtc(primaryCookie, crtc);
    if (!geometry) return false;
    const TRect root{0, 0, geometry->width, geometry->height};
    FRect = onCrtc ? Clip(crtc, root) : root;
    if (FRect.W <= 0 || FRect.H <= 0) FRect = root;
    AWidth = FRect.W;
    AHeight = FRect.H;
    return AWidth > 0 && AHeight > 0;
  }

  bool Grab(uint8_t* APixels, int AWidth, int AHeight) override {
    if (AWidth != FRect.W || AHeight != FRect.H || AWidth <= 0 || AHeight <= 0) return false;
    const size_t bytes = FFormat.Stride(AWidth) * static_cast<size_t>(AHeight);
    if (FUseShm && EnsureSegment(bytes)) {
      xcb_generic_error_t* error = nullptr;
      const TReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
          FConn,
          xcb_shm_get_image(FConn, FRoot, static_cast<int16_t>(FRect.X),
                            static_cast<int16_t>(FRect.Y), static_cast<uint16_t>(AWidth),
                            static_cast<uint16_t>(AHeight), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, FSeg,
                            0),
          &error));
      const TReply<xcb_generic_error_t> errorOwner(error);
      if (reply) {
        if (reply->depth != FDepth || reply->size < bytes) return false;
        ConvertPicture(FShmAddr, FFormat, AWidth, AHeight, APixels);
        return true;
      }
      // BadMatch: the rectangle no longer lies inside the root window, the screen having just
      // shrunk; the next Size sees that. Anything else means the segment does not work for
      // this server after all: plain requests from now on.
      if (!error || error->error_code == XCB_MATCH) return false;
      ReleaseSegment();
      FUseShm = false;
    }
    xcb_generic_error_t* error = nullptr;
    const TReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        FConn,
        xcb_get_image(FConn, XCB_IMAGE_FORMAT_Z_PIXMAP, FRoot, static_cast<int16_t>(FRect.X),
                      static_cast<int16_t>(FRect.Y), static_cast<uint16_t>(AWidth),
                      static_cast<uint16_t>(AHeight), ~0u),
        &error));
    std::free(error);
    if (!reply || reply->depth != FDepth ||
        static_cast<size_t>(xcb_get_image_data_length(reply.get())) < bytes)
      return false;
    ConvertPicture(xcb_get_image_data(reply.get()), FFormat, AWidth, AHeight, APixels);
    return true;
  }

 private:
  static TRect Clip(const TRect& ARect, const TRect& ABounds) {
    const int x0 = std::max(ARect.X, ABounds.X), y0 = std::max(ARect.Y, ABounds.Y);
    const int x1 = std::min(ARect.X + ARect.W, ABounds.X + ABounds.W);
    const int y1 = std::min(ARect.Y + ARect.H, ABounds.Y + ABounds.H);
    return TRect{x0, y0, x1 - x0, y1 - y0};
  }

  // The rectangle the primary output shows; false when there is no primary output or it shows
  // nothing (switched off, or its CRTC taken away).
  bool PrimaryCrtc(xcb_randr_get_output_primary_cookie_t ACookie, TRect& ARect) {
    const TReply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(FConn, ACookie, nullptr));
    if (!primary || primary->output == XCB_NONE) return false;
    const TReply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
        FConn, xcb_randr_get_output_info(FConn, primary->output, XCB_CURRENT_TIME), nullptr));
    if (!output || output->status != XCB_RANDR_SET_CONFIG_SUCCESS || output->crtc == XCB_NONE)
      return false;
    const TReply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
        FConn, xcb_randr_get_crtc_info(FConn, output->crtc, XCB_CURRENT_TIME), nullptr));
    if (!crtc || crtc->status != XCB_RANDR_SET_CONFIG_SUCCESS || crtc->mode == XCB_NONE)
      return false;
    ARect = TRect{crtc->x, crtc->y, crtc->width, crtc->height};
    return ARect.W > 0 && ARect.H > 0;
  }

  // A segment of exactly ABytes attached on both sides; false when none can be made, and then
  // MIT-SHM is not tried again.
  bool EnsureSegment(size_t ABytes) {
    if (FShmAddr && FShmSize == ABytes) return true;
    ReleaseSegment();
    // Readable and writable by our user alone: the server checks the client's credentials
    // against these bits, so a server on another machine, which cannot reach our memory, is
    // refused rather than attached to some segment of its own with the same number.
    const int id = ::shmget(IPC_PRIVATE, ABytes, IPC_CREAT | 0600);
    if (id < 0) return GiveUpShm();
    void* addr = ::shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
      ::shmctl(id, IPC_RMID, nullptr);
      return GiveUpShm();
    }
    const xcb_shm_seg_t seg = xcb_generate_id(FConn);
    const TReply<xcb_generic_error_t> error(
        xcb_request_check(FConn, xcb_shm_attach_checked(FConn, seg, static_cast<uint32_t>(id), 0)));
    // Marked for removal once the server has attached: the memory goes away with the last of
    // us to detach, also when this process dies without cleaning up.
    ::shmctl(id, IPC_RMID, nullptr);
    if (error || xcb_connection_has_error(FConn)) {
      ::shmdt(addr);
      return GiveUpShm();
    }
    FSeg = seg;
    FShmAddr = static_cast<uint8_t*>(addr);
    FShmSize = ABytes;
    return true;
  }

  bool GiveUpShm() {
    FUseShm = false;
    return false;
  }

  void ReleaseSegment() {
    if (!FShmAddr) return;
    xcb_shm_detach(FConn, FSeg);
    // The server must have let go before the memory is unmapped here: a round trip.
    TReply<xcb_get_input_focus_reply_t>(
        xcb_get_input_focus_reply(FConn, xcb_get_input_focus(FConn), nullptr));
    ::shmdt(FShmAddr);
    FShmAddr = nullptr;
    FShmSize = 0;
  }

  const std::string FDisplay;
  xcb_connection_t* const FConn;
  const xcb_window_t FRoot;
  const TPixelFormat FFormat;
  const int FDepth;
  const bool FHaveRandr;
  bool FUseShm;
  TRect FRect;  // what the last Size found; Grab copies it
  xcb_shm_seg_t FSeg = 0;
  uint8_t* FShmAddr = nullptr;
  size_t FShmSize = 0;
};

bool HaveRandr(xcb_connection_t* AConn) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(AConn, &xcb_randr_id);
  if (!ext || !ext->present) return false;
  // 1.3 brought the primary output.
  const TReply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(AConn, xcb_randr_query_version(AConn, 1, 3), nullptr));
  return version && (version->major_version > 1 ||
                     (version->major_version == 1 && version->minor_version >= 3));
}

bool HaveShm(xcb_connection_t* AConn) {
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(AConn, &xcb_shm_id);
  if (!ext || !ext->present) return false;
  const TReply<xcb_shm_query_version_reply_t> version(
      xcb_shm_query_version_reply(AConn, xcb_shm_query_version(AConn), nullptr));
  return version != nullptr;
}

}  // namespace

std::unique_ptr<TScreenSource> OpenX11ScreenSource(const std::string& ADisplay, std::string& AWhy,
                                                   bool AAllowShm) {
  const char* envDisplay = std::getenv("DISPLAY");
  const std::string name = !ADisplay.empty() ? ADisplay : envDisplay ? envDisplay : "";
  if (name.empty()) {
    AWhy = "no X display to capture (DISPLAY is not set)";
    return nullptr;
  }
  int screenNumber = 0;
  xcb_connection_t* conn = xcb_connect(name.c_str(), &screenNumber);
  if (xcb_connection_has_error(conn)) {
    xcb_disconnect(conn);
    AWhy = "cannot open the X display \"" + name + "\"";
    return nullptr;
  }
  const xcb_setup_t* setup = xcb_get_setup(conn);
  auto screens = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
  TPixelFormat format;
  if (!screens.rem) {
    AWhy = "the X display \"" + name + "\" has no screen " + std::to_string(screenNumber);
  } else if (ReadPixelFormat(setup, screens.data, format, AWhy)) {
    AWhy = "";
    const bool randr = HaveRandr(conn);
    const bool shm = AAllowShm && HaveShm(conn);
    return std::make_unique<TX11ScreenSource>(conn, screens.data->root, format,
                                              screens.data->root_depth, randr, shm, name);
  } else {
    AWhy = "X display \"" + name + "\": " + AWhy;
  }
  xcb_disconnect(conn);
  return nullptr;
}

}  // namespace Pondard::Screen
