#pragma once

// Word-at-a-time helpers for the pixel mappings: an image pixel is read as
// one little-endian 32-bit word (red or blue in the low byte, pixel byte 3
// in the high byte) and frame bytes are written a word at a time. Written
// with shifts, which compilers turn into single loads and stores on
// little-endian machines and which stay correct on any other.

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define LC_PIXEL_SHUFFLES 1
#else
#define LC_PIXEL_SHUFFLES 0
#endif

// Kernels that read a whole tile row in one masked 64-byte load and turn
// the compares' mask into the row's bits with one bit extraction (x86-64
// with AVX-512BW and BMI2, compiled for them function by function).
#if defined(__GNUC__) && defined(__x86_64__)
#define LC_PIXEL_WIDE 1
#define LC_PIXEL_WIDE_TARGET __attribute__((target("avx512f,avx512bw,bmi2")))
#else
#define LC_PIXEL_WIDE 0
#endif

// For the helpers of a row's inner loop, which must be inlined for their
// loops to unroll where the row length is known.
#if defined(__GNUC__)
#define LC_PIXEL_INLINE inline __attribute__((always_inline))
#else
#define LC_PIXEL_INLINE inline
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

// Eight bytes, the low byte first. Copied whole where that is the machine's
// order: written byte by byte, the compiler may gather the bytes of several
// words into a vector instead of storing each word once.
inline void store64(std::uint8_t* p, std::uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(p, &v, sizeof v);
#else
  for (unsigned k = 0; k < 8; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
#endif
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

// When a channel byte counts as lit in the one-bit mappings: when it is
// non-zero, as the image holds it.
struct NonZero {
  // Bits 7, 15, 23, 39, 47 and 55 of a word of two pixels: their channels.
  static std::uint64_t pair(std::uint64_t w) {
    constexpr std::uint64_t kLow = 0x007f7f7f007f7f7full;
    return (((w & kLow) + kLow) | w) & 0x0080808000808080ull;
  }
  // Bits 24 and 56: whether any channel of each pixel is.
  static std::uint64_t anyOfPair(std::uint64_t w) {
    constexpr std::uint64_t kColours = 0x00ffffff00ffffffull;
    return ((w & kColours) + kColours) & 0x0100000001000000ull;
  }
  static std::uint32_t channels(std::uint32_t w) { return nonZeroChannels(w); }
  static std::uint32_t any(std::uint32_t w) { return lit(w); }
  static bool on(unsigned char v, unsigned /*byte*/) { return v != 0; }
#if defined(__SSE2__)
  // Bytes that are zero where a channel is dark; pixel byte 3 is left as it
  // is for the byte kernels and cleared for the pixel kernels.
  static __m128i bytes(__m128i v) { return v; }
  static __m128i sentBytes(__m128i v) { return v; }
  static __m128i pixels(__m128i v) { return _mm_and_si128(v, _mm_set1_epi32(0x00ffffff)); }
  // What a byte must be above to count, per pixel byte (4 pixels).
  static __m128i bounds() { return _mm_setzero_si128(); }
#endif
};

// When a channel byte is above a bound of its own: under a colour
// correction, whose curves never fall, that is when the corrected byte is
// non-zero. Bytes 0, 1 and 2 of a pixel are compared with bound[0 .. 2];
// `sent` gives the bounds of the bytes in the order they are sent. Low
// says that every bound is below 128, which the word kernels test with
// NonZero's four operations.
template <bool Low>
class Above {
 public:
  Above(const std::uint8_t bound[3], const unsigned sent[3]) {
    std::uint64_t add = 0;
    for (unsigned k = 0; k < 3; ++k) {
      add |= static_cast<std::uint64_t>(255u - bound[k]) << (8 * k);
      bound_[k] = bound[k];
    }
    add |= add << 32;
    high_ = add & 0x0080808000808080ull;
    low_ = add & 0x007f7f7f007f7f7full;
#if defined(__SSE2__)
    const auto b = [&](unsigned k) { return static_cast<char>(bound[k]); };
    const auto s = [&](unsigned k) { return static_cast<char>(bound[sent[k]]); };
    // Byte 3 is bounded by 255 so that it never counts.
    bytes_ = _mm_setr_epi8(b(0), b(1), b(2), -1, b(0), b(1), b(2), -1, b(0), b(1), b(2), -1, b(0),
                           b(1), b(2), -1);
    sent_ = _mm_setr_epi8(s(0), s(1), s(2), s(0), s(1), s(2), s(0), s(1), s(2), s(0), s(1), s(2),
                          -1, -1, -1, -1);
#else
    (void)sent;
#endif
  }

  // As NonZero's: the carry out of byte + (255 - bound), from the carry of
  // the low seven bits and the two top bits.
  std::uint64_t pair(std::uint64_t w) const {
    const std::uint64_t carries = (w & 0x007f7f7f007f7f7full) + low_;
    if (Low) return (carries | w) & 0x0080808000808080ull;
    return ((w & high_) | ((w | high_) & carries)) & 0x0080808000808080ull;
  }
  std::uint64_t anyOfPair(std::uint64_t w) const {
    return (pair(w) + 0x00ffffff00ffffffull) & 0x0100000001000000ull;
  }
  std::uint32_t channels(std::uint32_t w) const { return static_cast<std::uint32_t>(pair(w)); }
  std::uint32_t any(std::uint32_t w) const { return channels(w) != 0; }
  bool on(unsigned char v, unsigned byte) const { return v > bound_[byte]; }
#if defined(__SSE2__)
  __m128i bytes(__m128i v) const { return _mm_subs_epu8(v, bytes_); }
  __m128i sentBytes(__m128i v) const { return _mm_subs_epu8(v, sent_); }
  __m128i pixels(__m128i v) const { return _mm_subs_epu8(v, bytes_); }
  __m128i bounds() const { return bytes_; }
#endif

 private:
  std::uint64_t high_;
  std::uint64_t low_;
  std::uint8_t bound_[3];
#if defined(__SSE2__)
  __m128i bytes_;
  __m128i sent_;
#endif
};

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

  LC_PIXEL_INLINE void finish() {
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
// Whether update() may also take the wide kernels (see LC_PIXEL_WIDE).
bool wideKernels();
void allowVectorKernels(bool allowed);

}  // namespace lc::pixel
