#include "player/MaskData.h"

#include <algorithm>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "player/PixelWords.h"

namespace lc {

namespace {

// The bits of up to eight LEDs, LED j's at bit j, the pixel of LED j at
// pixelAt(j). Taken last LED first, so that each step is a doubling and an
// add (one instruction on most machines) instead of a shift by j and an or.
template <typename PixelAt>
inline unsigned bitsOf(PixelAt pixelAt, std::uint32_t count) {
  unsigned bits = 0;
  for (std::uint32_t j = count; j-- > 0;) bits = 2 * bits + pixel::lit(pixel::load(pixelAt(j)));
  return bits;
}

// The bits of eight pixels that follow each other, two pixels a word: the
// colour bytes of each half plus 0xffffff carry into bit 24 of that half
// when any is non-zero, and the four words' carries are then interleaved.
inline unsigned bitsOfEight(const unsigned char* p) {
  constexpr std::uint64_t kColours = 0x00ffffff00ffffffull;
  std::uint64_t carries = 0;
  for (unsigned k = 0; k < 4; ++k) {
    const std::uint64_t w = pixel::load2(p + 8 * k);
    carries |= (((w & kColours) + kColours) & 0x0100000001000000ull) << (2 * k);
  }
  return static_cast<unsigned>(((carries >> 24) | (carries >> 55)) & 0xff);
}

#if defined(__SSE2__)
// Four pixels that follow each other: a 32-bit lane is all ones when its
// colour bytes are zero.
inline __m128i zeroLanes(const unsigned char* p) {
  const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm_cmpeq_epi32(_mm_and_si128(w, _mm_set1_epi32(0x00ffffff)), _mm_setzero_si128());
}

// Sixteen pixels: the lanes are narrowed to bytes and their top bits
// gathered.
inline unsigned bitsOfSixteen(const unsigned char* p) {
  const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(zeroLanes(p), zeroLanes(p + 16)),
                                        _mm_packs_epi32(zeroLanes(p + 32), zeroLanes(p + 48)));
  return ~static_cast<unsigned>(_mm_movemask_epi8(bytes)) & 0xffff;
}

// A row of `count` pixels that follow each other, sixteen at a time. A
// row that does not end on a group of sixteen ends with the bits of its
// last sixteen pixels, of which only the ones not yet put are kept; a row
// of eight to sixteen takes its first eight and its last eight pixels.
inline void putVectorRow(pixel::BitWriter& out, const unsigned char* p, std::uint32_t count) {
  if (count < 16) {
    const unsigned char* last = p + 4 * (count - 8);
    const __m128i bytes = _mm_packs_epi16(_mm_packs_epi32(zeroLanes(p), zeroLanes(p + 16)),
                                          _mm_packs_epi32(zeroLanes(last), zeroLanes(last + 16)));
    const unsigned bits = ~static_cast<unsigned>(_mm_movemask_epi8(bytes)) & 0xffff;
    out.put((bits & 0xff) | (bits >> (16 - count) & ~0xffu), count);
    return;
  }
  std::uint32_t j = 0;
  for (; j + 16 <= count; j += 16) out.put(bitsOfSixteen(p + 4 * j), 16);
  if (j < count) {
    const std::uint32_t rest = count - j;
    out.put(bitsOfSixteen(p + 4 * (count - 16)) >> (16 - rest), rest);
  }
}
#endif

// A row of `count` pixels that follow each other, eight at a time, ending
// on the last eight as putVectorRow does.
inline void putWordRow(pixel::BitWriter& out, const unsigned char* p, std::uint32_t count) {
  std::uint32_t j = 0;
  for (; j + 16 <= count; j += 8) out.put(bitsOfEight(p + 4 * j), 8);
  const std::uint32_t rest = count - j;
  if (rest > 8) {
    out.put(bitsOfEight(p + 4 * j) | bitsOfEight(p + 4 * (count - 8)) << (rest - 8), rest);
  } else {
    out.put(bitsOfEight(p + 4 * (count - 8)) >> (8 - rest), rest);
  }
}

// A row of `count` pixels that follow each other.
template <bool Vectors>
inline void putRow(pixel::BitWriter& out, const unsigned char* p, std::uint32_t count) {
  if (count < 8) {
    out.put(bitsOf([p](std::uint32_t i) { return p + 4 * i; }, count), count);
    return;
  }
#if defined(__SSE2__)
  if (Vectors) {
    putVectorRow(out, p, count);
    return;
  }
#endif
  putWordRow(out, p, count);
}

// A row of `count` pixels `step` bytes apart.
inline void putStridedRow(pixel::BitWriter& out, const unsigned char* p, std::int32_t step,
                          std::uint32_t count) {
  for (std::uint32_t j = 0; j < count; j += 8) {
    const unsigned char* first = p + static_cast<std::ptrdiff_t>(step) * j;
    const std::uint32_t n = std::min<std::uint32_t>(8, count - j);
    out.put(bitsOf([first, step](std::uint32_t i) { return first + std::ptrdiff_t{step} * i; }, n),
            n);
  }
}

}  // namespace

std::uint32_t MaskData::typeSlotSize(ModuleType type) { return pixelSlots(type).mask; }

void MaskData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                    std::uint32_t frameLength, std::uint32_t width,
                                    std::uint32_t height) {
  pixels_.clear();
  table_.clear();
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      [](ModuleType type, std::uint32_t led) { return led / 8 < typeSlotSize(type); },
      [&](const Placement& p) {
        pixels_.push_back(
            Pixel{p.x, p.y, p.source, p.slot + p.led / 8, static_cast<std::uint8_t>(p.led % 8)});
        table_.add(p);
      });
  table_.finish();
}

void MaskData::update(const unsigned char* image, unsigned length, Format) {
  if (image == nullptr) return;
  if (pixel::vectorKernels()) {
    writeBits<true>(image, length);
  } else {
    writeBits<false>(image, length);
  }
}

template <bool Vectors>
void MaskData::writeBits(const unsigned char* image, unsigned length) {
  std::uint8_t* const frames = bytes();
  for (const Run run : table_.runs) {  // a copy: frame stores may alias it
    std::uint8_t* const out = frames + run.slot + run.firstLed / 8;
    const unsigned shift = run.firstLed % 8;
    if (!wholeRunFits(run, length)) {
      table_.forEachSource(run, [image, length, out, shift](std::uint32_t i, std::uint32_t source) {
        if (skipped(source, length)) return;
        const unsigned char* in = image + source;
        const unsigned bit = shift + i;
        const unsigned mask = 1u << (bit % 8);
        // Without a branch: the pixels defeat prediction.
        out[bit / 8] = static_cast<std::uint8_t>((out[bit / 8] & ~mask) |
                                                 (mask * ((in[0] | in[1] | in[2]) != 0)));
      });
      continue;
    }
    // The run's bits are built in a register; only the first and the last
    // byte keep bits that are not the run's.
    pixel::BitWriter writer(out, shift);
    for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
      const Stretch st = table_.stretches[k];
      if (st.irregular()) {
        const std::uint32_t* source = table_.sources.data() + st.start;
        for (std::uint32_t j = 0; j < st.count; j += 8) {
          const std::uint32_t n = std::min<std::uint32_t>(8, st.count - j);
          const std::uint32_t* s = source + j;
          writer.put(bitsOf([image, s](std::uint32_t i) { return image + s[i]; }, n), n);
        }
        continue;
      }
      for (std::uint32_t r = 0; r < st.rows; ++r) {
        const unsigned char* p = image + st.rowStart(r);
        if (st.step == 4) {
          putRow<Vectors>(writer, p, st.count);
        } else {
          putStridedRow(writer, p, st.step, st.count);
        }
      }
    }
    writer.finish();
  }
}

}  // namespace lc
