#pragma once

// The three-bit mapping's wide kernels (x86-64 with AVX-512BW and BMI2,
// compiled for them function by function and taken only where present):
// a tile row is read in one masked 64-byte load, and the compares' mask
// becomes the row's bits with one bit extraction. Only RGBData.cc includes
// this file.

#include <cstddef>
#include <cstdint>

#include "player/PixelWords.h"

#if LC_PIXEL_WIDE
#include <immintrin.h>

namespace lc::rgbwide {

// Most LEDs one put() takes: their 30 bits fit the writer's 32. A tile's
// rows are as long.
constexpr std::uint32_t kMaxPut = 10;

// The bits of up to sixteen pixels that follow each other (the bytes of
// `load`), LED j's at bits 3j to 3j + 2: the bytes past the row are never
// read (the load is masked and reads them as 0, which no bound counts), and the extraction drops
// pixel byte 3 from the compares' mask, which has the channels already in
// the order they are sent when they are RGB.
template <bool Bgr, bool Bounded>
LC_PIXEL_WIDE_TARGET inline std::uint64_t wideBits(__m512i bound, const unsigned char* p,
                                                   __mmask64 load) {
  __m512i v = _mm512_maskz_loadu_epi8(load, p);
  if (Bounded) v = _mm512_subs_epu8(v, bound);
  const std::uint64_t x = _pext_u64(_mm512_test_epi8_mask(v, v), 0x7777777777777777ull);
  if (!Bgr) return x;
  constexpr std::uint64_t kFirst = 0x249249249249ull;  // bits 3j, j = 0 .. 15
  return (x & kFirst << 1) | (x >> 2 & kFirst) | (x << 2 & kFirst << 2);
}

// Whether every stretch of a run is rows of pixels that follow each other.
template <typename Run, typename Stretch>
inline bool contiguousRows(const Run& run, const Stretch* stretches) {
  for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
    if (stretches[k].irregular() || stretches[k].step != 4) return false;
  }
  return true;
}

// Whether a run is one whole tile seen straight: ten rows of ten pixels
// that follow each other, its bits starting on a byte.
template <typename Run, typename Stretch>
inline bool straightTile(const Run& run, const Stretch& st) {
  return run.endStretch == run.firstStretch + 1 && run.firstLed % 8 == 0 && st.step == 4 &&
         st.count == kMaxPut && st.rows == kMaxPut;
}

// The 300 bits of such a tile at `out`: the rows' bits are laid into words
// at places fixed by their row, and each word is stored once, so that no
// row waits for the row before it to move a writer's bit count on. The
// bits of the last byte past the tile's keep their value.
template <bool Bgr, bool Bounded>
LC_PIXEL_WIDE_TARGET inline void putTile(std::uint8_t* out, __m512i bound, const unsigned char* p,
                                         std::ptrdiff_t rowStep) {
  constexpr __mmask64 kRowBytes = (1ull << (4 * kMaxPut)) - 1;
  std::uint64_t b[kMaxPut];
  for (std::uint64_t& bits : b) {
    bits = wideBits<Bgr, Bounded>(bound, p, kRowBytes);
    p += rowStep;
  }
  pixel::store64(out, b[0] | b[1] << 30 | b[2] << 60);
  pixel::store64(out + 8, b[2] >> 4 | b[3] << 26 | b[4] << 56);
  pixel::store64(out + 16, b[4] >> 8 | b[5] << 22 | b[6] << 52);
  pixel::store64(out + 24, b[6] >> 12 | b[7] << 18 | b[8] << 48);
  const std::uint64_t last = b[8] >> 16 | b[9] << 14;  // bits 256 to 299
  pixel::store(out + 32, static_cast<std::uint32_t>(last));
  out[36] = static_cast<std::uint8_t>(last >> 32);
  out[37] = static_cast<std::uint8_t>((out[37] & 0xf0u) | (last >> 40));
}

// Writes runs from `first` on, while each lies wholly inside the image and
// is made of rows of pixels that follow each other, and returns the first
// run it left. Runs, rows and the writer stay in registers across a whole
// installation of such tiles: per run there is no call and no copy.
template <bool Bgr, bool Bounded, typename Run, typename Stretch>
LC_PIXEL_WIDE_TARGET std::size_t putRunsWide(std::uint8_t* frames, const Run* runs,
                                             std::size_t first, std::size_t end,
                                             const Stretch* stretches, const unsigned char* image,
                                             unsigned length, __m128i bounds) {
  const __m512i bound = _mm512_maskz_broadcast_i32x4(0xffff, bounds);
  std::size_t i = first;
  for (; i < end; ++i) {
    const Run run = runs[i];
    if (static_cast<std::uint64_t>(run.maxSource) + 4 > length || !contiguousRows(run, stretches)) {
      break;
    }
    const std::uint32_t firstBit = 3 * run.firstLed;
    const Stretch& first = stretches[run.firstStretch];
    if (straightTile(run, first)) {
      putTile<Bgr, Bounded>(frames + run.slot + firstBit / 8, bound, image + first.start,
                            first.rowStep);
      continue;
    }
    pixel::BitWriter out(frames + run.slot + firstBit / 8, firstBit % 8);
    for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
      const Stretch st = stretches[k];
      const std::uint32_t whole = st.count / 16;
      const std::uint32_t rest = st.count % 16;
      const __mmask64 tail = (1ull << (4 * rest)) - 1;
      std::ptrdiff_t at = st.start;
      if (whole == 0 && rest == kMaxPut) {
        // A tile's rows of ten: one load and one put each, all constant.
        for (std::uint32_t r = 0; r < st.rows; ++r, at += st.rowStep) {
          out.put(static_cast<std::uint32_t>(wideBits<Bgr, Bounded>(bound, image + at, tail)),
                  3 * kMaxPut);
        }
        continue;
      }
      for (std::uint32_t r = 0; r < st.rows; ++r, at += st.rowStep) {
        const unsigned char* p = image + at;
        for (std::uint32_t j = 0; j < whole; ++j, p += 64) {
          const std::uint64_t bits = wideBits<Bgr, Bounded>(bound, p, ~0ull);
          out.put(static_cast<std::uint32_t>(bits & 0xffffff), 24);
          out.put(static_cast<std::uint32_t>(bits >> 24), 24);
        }
        if (rest == 0) continue;
        const std::uint64_t bits = wideBits<Bgr, Bounded>(bound, p, tail);
        if (rest <= kMaxPut) {
          out.put(static_cast<std::uint32_t>(bits), 3 * rest);
        } else {
          out.put(static_cast<std::uint32_t>(bits & 0xffffff), 24);
          out.put(static_cast<std::uint32_t>(bits >> 24), 3 * rest - 24);
        }
      }
    }
    out.finish();
  }
  return i;
}

}  // namespace lc::rgbwide

#endif
