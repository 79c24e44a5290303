#include "screen/Pixels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <bit>
#include <cstring>

namespace Pondard::Screen {

namespace {

using TRowConverter = void (*)(const uint8_t* ASrc, uint8_t* ADst, int AWidth,
                               TChannelOffsets AOffsets);

void ConvertRowBytes(const uint8_t* ASrc, uint8_t* ADst, int AWidth, TChannelOffsets AOffsets) {
  for (int x = 0; x < AWidth; ++x, ASrc += 4, ADst += 3) {
    ADst[0] = ASrc[AOffsets.Blue];
    ADst[1] = ASrc[AOffsets.Green];
    ADst[2] = ASrc[AOffsets.Red];
  }
}

// The usual layout without SSSE3: four pixels at a time as one 64-bit and one 32-bit word,
// twice what the byte loop manages. Little-endian hosts only.
void ConvertRowBgrx(const uint8_t* ASrc, uint8_t* ADst, int AWidth, TChannelOffsets AOffsets) {
  int x = 0;
  for (; x + 4 <= AWidth; x += 4, ASrc += 16, ADst += 12) {
    // Each word is stored by itself: one wide read of words just written separately would stall
    // on store forwarding, which made a first version of this loop slower than bytes.
    uint64_t in[2];
    std::memcpy(in, ASrc, 16);
    const uint64_t low = (in[0] & 0xffffffu) | ((in[0] >> 8) & 0xffffff000000u) | (in[1] << 48);
    const uint32_t high = static_cast<uint32_t>((in[1] >> 16) & 0xffu) |
                          static_cast<uint32_t>((in[1] >> 24) & 0xffffff00u);
    std::memcpy(ADst, &low, 8);
    std::memcpy(ADst + 8, &high, 4);
  }
  ConvertRowBytes(ASrc, ADst, AWidth - x, AOffsets);
}

#if defined(__x86_64__) || defined(__i386__)
// One byte shuffle picks the three colour bytes of four pixels at once, in any order: this
// brings the turn of a 1920 x 1080 screen close to a plain copy of it.
__attribute__((target("ssse3"))) void ConvertRowShuffle(const uint8_t* ASrc, uint8_t* ADst,
                                                        int AWidth, TChannelOffsets AOffsets) {
  alignas(16) int8_t order[16];
  for (int i = 0; i < 4; ++i) {
    order[i * 3] = static_cast<int8_t>(i * 4 + AOffsets.Blue);
    order[i * 3 + 1] = static_cast<int8_t>(i * 4 + AOffsets.Green);
    order[i * 3 + 2] = static_cast<int8_t>(i * 4 + AOffsets.Red);
  }
  std::memset(order + 12, -1, 4);
  const __m128i pick = _mm_load_si128(reinterpret_cast<const __m128i*>(order));
  int x = 0;
  // Each store writes 16 bytes of which 12 count; the next store overwrites the other 4. Six
  // pixels of room keep the last store inside the row, whose neighbour rows are done already.
  for (; x + 6 <= AWidth; x += 4, ASrc += 16, ADst += 12) {
    const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ASrc));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(ADst), _mm_shuffle_epi8(pixels, pick));
  }
  ConvertRowBytes(ASrc, ADst, AWidth - x, AOffsets);
}
#endif

TRowConverter PickConverter(TChannelOffsets AOffsets) {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("ssse3")) return ConvertRowShuffle;
#endif
  if (std::endian::native == std::endian::little && AOffsets.Blue == 0 && AOffsets.Green == 1 &&
      AOffsets.Red == 2)
    return ConvertRowBgrx;
  return ConvertRowBytes;
}

}  // namespace

void ConvertTopDown32(const uint8_t* ASrc, size_t AStride, int AWidth, int AHeight,
                      TChannelOffsets AOffsets, uint8_t* ADst) {
  const TRowConverter convert = PickConverter(AOffsets);
  const size_t rowBytes = static_cast<size_t>(AWidth) * 3;
  for (int y = 0; y < AHeight; ++y) {
    convert(ASrc + static_cast<size_t>(y) * AStride,
            ADst + static_cast<size_t>(AHeight - 1 - y) * rowBytes, AWidth, AOffsets);
  }
}

}  // namespace Pondard::Screen
