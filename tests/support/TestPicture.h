// The picture the lab's desktops show: different in every pixel of a screen up to 2048 x 2048,
// and with red, green and blue apart, so a shear, a flip or swapped channels show anywhere.
#pragma once

#include <cstdint>

namespace PondarTest {

// 0xRRGGBB of pixel (AX, AY), counted from the top left.
inline uint32_t TestPicture(int AX, int AY) {
  return uint32_t(AX & 0xff) << 16 | uint32_t(AY & 0xff) << 8 | uint32_t(AX >> 8 | (AY >> 8) << 3);
}

}  // namespace PondarTest
