#pragma once

// Word-at-a-time helpers for the pixel mappings: an image pixel is read as
// one little-endian 32-bit word (red or blue in the low byte, pixel byte 3
// in the high byte) and frame bytes are written a word at a time. Written
// with shifts, which compilers turn into single loads and stores on
// little-endian machines and which stay correct on any other.

#include <cstdint>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define LC_PIXEL_SHUFFLES 1
#else
#define LC_PIXEL_SHUFFLES 0
#endif

namespace lc::pixel {

inline std::uint32_t load(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Two pixels: the first in the low half.
inline std::uint64_t load2(const unsigned char* p) {
  return static_cast<std::uint64_t>(load(p)) | static_cast<std::uint64_t>(load(p + 4)) << 32;
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

// Appends bit fields to frame bytes that follow each other, a word at a
// time. Bits below `shift` of the first byte, and bits of the last byte past
// what was put, keep their value; no byte past the last one put is touched.
class BitWriter {
 public:
  BitWriter(std::uint8_t* out, unsigned shift)
      : out_(out), pending_(*out & ((1u << shift) - 1)), bits_(shift) {}

  // Appends the low `count` bits of `value` (count <= 32, no higher bits set).
  void put(std::uint32_t value, unsigned count) {
    pending_ |= static_cast<std::uint64_t>(value) << bits_;
    bits_ += count;
    if (bits_ >= 32) {
      store(out_, static_cast<std::uint32_t>(pending_));
      out_ += 4;
      pending_ >>= 32;
      bits_ -= 32;
    }
  }

  void finish() {
    for (; bits_ >= 8; bits_ -= 8, pending_ >>= 8) *out_++ = static_cast<std::uint8_t>(pending_);
    if (bits_ > 0) {
      const unsigned keep = ~((1u << bits_) - 1);
      *out_ = static_cast<std::uint8_t>((*out_ & keep) | (pending_ & ~keep));
    }
  }

 private:
  std::uint8_t* out_;
  std::uint64_t pending_;  // fewer than 32 bits between calls
  unsigned bits_;
};

// Whether update() may take the vector kernels, where the machine has them.
// The portable kernels write the same bytes; tests turn the vector ones off
// to check both.
bool vectorKernels();
// Whether update() may also take kernels that need byte shuffles (x86 SSSE3,
// compiled for it function by function and taken only where present).
bool byteShuffles();
void allowVectorKernels(bool allowed);

}  // namespace lc::pixel
