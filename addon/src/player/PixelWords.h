#pragma once

// Word-at-a-time helpers for the pixel mappings: an image pixel is read as
// one little-endian 32-bit word (red or blue in the low byte, pixel byte 3
// in the high byte) and frame bytes are written a word at a time. Written
// with shifts, which compilers turn into single loads and stores on
// little-endian machines and which stay correct on any other.

#include <cstdint>

namespace lc::pixel {

inline std::uint32_t load(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void store(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Exchanges pixel bytes 0 and 2; byte 3 becomes 0.
inline std::uint32_t swapRedBlue(std::uint32_t w) {
  return (w >> 16 & 0xffu) | (w & 0xff00u) | (w & 0xffu) << 16;
}

// Bit 7 of each of the three colour bytes is set when that byte is non-zero
// (bits 7, 15 and 23); nothing else is set. Adding 0x7f to the low seven
// bits of a byte never carries into the next byte.
inline std::uint32_t nonZeroChannels(std::uint32_t w) {
  return (((w & 0x7f7f7fu) + 0x7f7f7fu) | w) & 0x808080u;
}

// 1 when any colour byte is non-zero, else 0.
inline std::uint32_t lit(std::uint32_t w) { return ((w & 0xffffffu) + 0xffffffu) >> 24; }

}  // namespace lc::pixel
