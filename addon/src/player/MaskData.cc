#include "player/MaskData.h"

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "player/PixelWords.h"

#if LC_PIXEL_WIDE
#include <immintrin.h>
#endif

namespace lc {

namespace {

// The bits of up to 32 LEDs, LED j's at bit j, the pixel of LED j at
// pixelAt(j). Taken last LED first, so that each step is a doubling and an
// add (one instruction on most machines) instead of a shift by j and an or.
template <typename Lit, typename PixelAt>
inline unsigned bitsOf(const Lit& lit, PixelAt pixelAt, std::uint32_t count) {
  unsigned bits = 0;
  for (std::uint32_t j = count; j-- > 0;) bits = 2 * bits + lit.any(pixel::load(pixelAt(j)));
  return bits;
}

#if defined(__SSE2__)
// Four pixels that follow each other: a 32-bit lane is all ones when its
// colour bytes are zero.
template <typename Lit>
inline __m128i zeroLanes(const Lit& lit, const unsigned char* p) {
  const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm_cmpeq_epi32(lit.pixels(w), _mm_setzero_si128());
}

// Sixteen pixels: the lanes are narrowed to bytes and their top bits
// gathered.
template <typename Lit>
inline unsigned bitsOfSixteen(const Lit& lit, const unsigned char* p) {
  const __m128i bytes =
      _mm_packs_epi16(_mm_packs_epi32(zeroLanes(lit, p), zeroLanes(lit, p + 16)),
                      _mm_packs_epi32(zeroLanes(lit, p + 32), zeroLanes(lit, p + 48)));
  return ~static_cast<unsigned>(_mm_movemask_epi8(bytes)) & 0xffff;
}

// A row of `count` pixels that follow each other, sixteen at a time. A
// row that does not end on a group of sixteen ends with the bits of its
// last sixteen pixels, of which only the ones not yet put are kept; a row
// of eight to sixteen takes its first eight and its last eight pixels.
template <typename Lit>
inline void putVectorRow(pixel::BitWriter& out, const Lit& lit, const unsigned char* p,
                         std::uint32_t count) {
  if (count < 16) {
    const unsigned char* last = p + 4 * (count - 8);
    const __m128i bytes =
        _mm_packs_epi16(_mm_packs_epi32(zeroLanes(lit, p), zeroLanes(lit, p + 16)),
                        _mm_packs_epi32(zeroLanes(lit, last), zeroLanes(lit, last + 16)));
    const unsigned bits = ~static_cast<unsigned>(_mm_movemask_epi8(bytes)) & 0xffff;
    out.put((bits & 0xff) | (bits >> (16 - count) & ~0xffu), count);
    return;
  }
  std::uint32_t j = 0;
  for (; j + 16 <= count; j += 16) out.put(bitsOfSixteen(lit, p + 4 * j), 16);
  if (j < count) {
    const std::uint32_t rest = count - j;
    out.put(bitsOfSixteen(lit, p + 4 * (count - 16)) >> (16 - rest), rest);
  }
}
#endif

// Most LEDs one put() takes.
constexpr std::uint32_t kMaxPut = 32;
// Most LEDs wordBits() takes.
constexpr std::uint32_t kMaxWordBits = 24;

// The bits of `count` (at most 24) pixels that follow each other, two
// pixels a word: the colour bytes of each half plus 0xffffff carry into
// bit 24 of that half when any is non-zero. The carries of the pair at
// pixel j are shifted to bits j and 32 + j and folded once at the end, so
// a pair costs a load and five operations, and a row that does not end on
// a group of eight (a tile's rows of ten) reads no pixel twice.
template <typename Lit>
LC_PIXEL_INLINE unsigned wordBits(const Lit& lit, const unsigned char* p, std::uint32_t count) {
  std::uint64_t carries = 0;
  std::uint32_t j = 0;
  for (; j + 2 <= count; j += 2) carries |= lit.anyOfPair(pixel::load2(p + 4 * j)) >> (24 - j);
  unsigned bits = static_cast<unsigned>(carries | carries >> 31);
  if (j < count) bits |= lit.any(pixel::load(p + 4 * j)) << j;
  return bits;
}

// The rows of a stretch of pixels that follow each other, up to 24 LEDs a
// put(). The writer is passed by value so that it stays in registers
// across the rows. So is the stretch: the frame stores may
// alias anything, and would make its fields be read again every row.
template <typename Lit, typename Stretch>
pixel::BitWriter putWordRows(pixel::BitWriter out, const Lit lit, const unsigned char* image,
                             const Stretch st) {
  std::ptrdiff_t at = st.start;
  for (std::uint32_t r = 0; r < st.rows; ++r, at += st.rowStep) {
    const unsigned char* p = image + at;
    for (std::uint32_t left = st.count; left > 0;) {
      const std::uint32_t n = std::min(left, kMaxWordBits);
      out.put(wordBits(lit, p, n), n);
      p += 4 * n;
      left -= n;
    }
  }
  return out;
}

// The same for rows of N LEDs: with the length known, a row is straight
// code, one put() and no branch but the loop's, which is what keeps short
// rows (a tile's rows of ten) cheap.
template <std::uint32_t N, typename Lit, typename Stretch>
pixel::BitWriter putWordRowsOf(pixel::BitWriter out, const Lit lit, const unsigned char* image,
                               const Stretch st) {
  std::ptrdiff_t at = st.start;
  for (std::uint32_t r = 0; r < st.rows; ++r, at += st.rowStep) {
    out.put(wordBits(lit, image + at, N), N);
  }
  return out;
}

template <typename Lit, typename Stretch, std::size_t... N>
pixel::BitWriter putWordRows(pixel::BitWriter out, const Lit& lit, const unsigned char* image,
                             const Stretch st, std::index_sequence<N...>) {
  using Rows = pixel::BitWriter (*)(pixel::BitWriter, Lit, const unsigned char*, Stretch);
  static constexpr Rows kRowsOf[] = {&putWordRowsOf<N + 1, Lit, Stretch>...};
  if (st.count - 1 < sizeof...(N)) return kRowsOf[st.count - 1](out, lit, image, st);
  return putWordRows(out, lit, image, st);
}

// A row of `count` pixels that follow each other.
template <bool Vectors, typename Lit>
inline void putRow(pixel::BitWriter& out, const Lit& lit, const unsigned char* p,
                   std::uint32_t count) {
#if defined(__SSE2__)
  if (Vectors && count >= 8) {
    putVectorRow(out, lit, p, count);
    return;
  }
#endif
  for (std::uint32_t j = 0; j < count; j += kMaxWordBits) {
    const std::uint32_t n = std::min(kMaxWordBits, count - j);
    out.put(wordBits(lit, p + 4 * j, n), n);
  }
}

// A row of `count` pixels `step` bytes apart.
template <typename Lit>
inline void putStridedRow(pixel::BitWriter& out, const Lit& lit, const unsigned char* p,
                          std::int32_t step, std::uint32_t count) {
  for (std::uint32_t j = 0; j < count; j += kMaxPut) {
    const unsigned char* first = p + static_cast<std::ptrdiff_t>(step) * j;
    const std::uint32_t n = std::min(kMaxPut, count - j);
    out.put(
        bitsOf(
            lit, [first, step](std::uint32_t i) { return first + std::ptrdiff_t{step} * i; }, n),
        n);
  }
}

#if LC_PIXEL_WIDE
// Whether every stretch of a run is rows of pixels that follow each other.
template <typename Run, typename Stretch>
inline bool contiguousRows(const Run& run, const Stretch* stretches) {
  for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
    if (stretches[k].irregular() || stretches[k].step != 4) return false;
  }
  return true;
}

// A whole tile seen straight (one stretch of ten rows of ten pixels that
// follow each other, its bits starting on a byte): its 100 bits are laid
// into two words at places fixed by their row and each word is stored
// once, so that no row waits on a writer moved by the one before. The
// bits of the last byte past the tile's keep their value.
template <bool Bounded, typename Run, typename Stretch>
LC_PIXEL_WIDE_TARGET inline bool putTile(std::uint8_t* frames, const Run& run, const Stretch& st,
                                         const unsigned char* image, __m512i bound,
                                         __m512i colours) {
  if (run.endStretch != run.firstStretch + 1 || run.firstLed % 8 != 0 || st.step != 4 ||
      st.count != 10 || st.rows != 10) {
    return false;
  }
  std::uint64_t b[10];
  const unsigned char* p = image + st.start;
  for (std::uint64_t& bits : b) {
    __m512i v = _mm512_maskz_loadu_epi32(0x3ff, p);
    if (Bounded) v = _mm512_subs_epu8(v, bound);
    bits = _mm512_test_epi32_mask(v, colours);
    p += st.rowStep;
  }
  std::uint8_t* const out = frames + run.slot + run.firstLed / 8;
  pixel::store64(
      out, b[0] | b[1] << 10 | b[2] << 20 | b[3] << 30 | b[4] << 40 | b[5] << 50 | b[6] << 60);
  const std::uint64_t last = b[6] >> 4 | b[7] << 6 | b[8] << 16 | b[9] << 26;  // bits 64 to 99
  pixel::store(out + 8, static_cast<std::uint32_t>(last));
  out[12] = static_cast<std::uint8_t>((out[12] & 0xf0u) | (last >> 32));
  return true;
}

// Writes runs from `first` on, while each lies wholly inside the image and
// is made of rows of pixels that follow each other, sixteen LEDs a masked
// load (the pixels past a row are never read, and read as dark; a lane's
// compare is the LED's bit), and returns the first run it left. Runs, rows
// and the writer stay in registers: per run there is no call and no copy.
template <bool Bounded, typename Run, typename Stretch>
LC_PIXEL_WIDE_TARGET std::size_t putRunsWide(std::uint8_t* frames, const Run* runs,
                                             std::size_t first, std::size_t end,
                                             const Stretch* stretches, const unsigned char* image,
                                             unsigned length, __m128i bounds) {
  const __m512i bound = _mm512_maskz_broadcast_i32x4(0xffff, bounds);
  const __m512i colours = _mm512_set1_epi32(0x00ffffff);
  std::size_t i = first;
  for (; i < end; ++i) {
    const Run run = runs[i];
    if (static_cast<std::uint64_t>(run.maxSource) + 4 > length || !contiguousRows(run, stretches)) {
      break;
    }
    if (putTile<Bounded>(frames, run, stretches[run.firstStretch], image, bound, colours)) continue;
    pixel::BitWriter out(frames + run.slot + run.firstLed / 8, run.firstLed % 8);
    for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
      const Stretch st = stretches[k];
      const std::uint32_t whole = st.count / 16;
      const std::uint32_t rest = st.count % 16;
      const __mmask16 tail = static_cast<__mmask16>((1u << rest) - 1);
      std::ptrdiff_t at = st.start;
      if (whole == 0 && rest == 10) {
        // A tile's rows of ten: one load and one put each, all constant.
        for (std::uint32_t r = 0; r < st.rows; ++r, at += st.rowStep) {
          __m512i v = _mm512_maskz_loadu_epi32(tail, image + at);
          if (Bounded) v = _mm512_subs_epu8(v, bound);
          out.put(static_cast<std::uint32_t>(_mm512_test_epi32_mask(v, colours)), 10);
        }
        continue;
      }
      for (std::uint32_t r = 0; r < st.rows; ++r, at += st.rowStep) {
        const unsigned char* p = image + at;
        for (std::uint32_t j = 0; j < whole; ++j, p += 64) {
          __m512i v = _mm512_loadu_si512(p);
          if (Bounded) v = _mm512_subs_epu8(v, bound);
          out.put(static_cast<std::uint32_t>(_mm512_test_epi32_mask(v, colours)), 16);
        }
        if (rest == 0) continue;
        __m512i v = _mm512_maskz_loadu_epi32(tail, p);
        if (Bounded) v = _mm512_subs_epu8(v, bound);
        out.put(static_cast<std::uint32_t>(_mm512_test_epi32_mask(v, colours)), rest);
      }
    }
    out.finish();
  }
  return i;
}
#endif

}  // namespace

std::uint32_t MaskData::typeSlotSize(ModuleType type) { return pixelSlots(type).mask; }

void MaskData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                    std::uint32_t frameLength, std::uint32_t width,
                                    std::uint32_t height) {
  std::vector<Pixel>().swap(pixels_);
  table_.clear(4 * width);
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      // One bit per LED, in index order.
      [](ModuleType type) { return 8ull * typeSlotSize(type); },
      [&](const ModuleLeds& m) {
        table_.add(m);
        if (!keepRecords_) return;
        forEachPlaced(m, [&](std::uint32_t led, float x, float y, std::uint32_t source) {
          pixels_.push_back(
              Pixel{x, y, source, m.slot + led / 8, static_cast<std::uint8_t>(led % 8)});
        });
      });
  table_.finish();
}

void MaskData::update(const unsigned char* image, unsigned length, Format format) {
  if (image == nullptr) return;
  if (correction_.identity()) {
    writeAll(image, length, pixel::NonZero{});
    return;
  }
  // An LED is lit when any corrected channel is: bytes the curve takes to 0
  // no longer light it. The curves' bounds say which without a lookup.
  const unsigned red = format == BGR ? 2 : 0;
  std::uint8_t bound[3];
  bound[red] = correction_.darkUpTo(Correction::Red);
  bound[1] = correction_.darkUpTo(Correction::Green);
  bound[2 - red] = correction_.darkUpTo(Correction::Blue);
  const unsigned sent[3] = {0, 1, 2};  // a mask sends no channel
  if (std::max({bound[0], bound[1], bound[2]}) < 128) {
    writeAll(image, length, pixel::Above<true>(bound, sent));
  } else {
    writeAll(image, length, pixel::Above<false>(bound, sent));
  }
}

template <typename Lit>
void MaskData::writeAll(const unsigned char* image, unsigned length, const Lit& lit) {
  if (pixel::vectorKernels()) {
    writeBits<true>(image, length, lit);
  } else {
    writeBits<false>(image, length, lit);
  }
}

template <bool Vectors, typename Lit>
void MaskData::writeBits(const unsigned char* image, unsigned length, const Lit lit) {
  [[maybe_unused]] const bool wide = Vectors && pixel::wideKernels();
  std::uint8_t* const frames = bytes();
  const std::size_t runs = table_.runs.size();
  for (std::size_t i = 0; i < runs; ++i) {
#if LC_PIXEL_WIDE
    if (wide) {
      // Without a correction every bound is 0, and the subtraction is left out.
      i = putRunsWide<!std::is_same_v<Lit, pixel::NonZero>>(frames, table_.runs.data(), i, runs,
                                                            table_.stretches.data(), image, length,
                                                            lit.bounds());
      if (i == runs) break;
    }
#endif
    const Run run = table_.runs[i];  // a copy: frame stores may alias it
    std::uint8_t* const out = frames + run.slot + run.firstLed / 8;
    const unsigned shift = run.firstLed % 8;
    if (!wholeRunFits(run, length)) {
      table_.forEachSource(
          run, [image, length, out, shift, &lit](std::uint32_t i, std::uint32_t source) {
            if (skipped(source, length)) return;
            const unsigned char* in = image + source;
            const unsigned bit = shift + i;
            const unsigned mask = 1u << (bit % 8);
            // Without a branch: the pixels defeat prediction.
            const bool on = lit.on(in[0], 0) | lit.on(in[1], 1) | lit.on(in[2], 2);
            out[bit / 8] = static_cast<std::uint8_t>((out[bit / 8] & ~mask) | (mask * on));
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
        for (std::uint32_t j = 0; j < st.count; j += kMaxPut) {
          const std::uint32_t n = std::min(kMaxPut, st.count - j);
          const std::uint32_t* s = source + j;
          writer.put(bitsOf(
                         lit, [image, s](std::uint32_t i) { return image + s[i]; }, n),
                     n);
        }
        continue;
      }
      if (!Vectors && st.step == 4) {
        writer = putWordRows(writer, lit, image, st, std::make_index_sequence<kMaxWordBits>());
        continue;
      }
      for (std::uint32_t r = 0; r < st.rows; ++r) {
        const unsigned char* p = image + st.rowStart(r);
        if (st.step == 4) {
          putRow<Vectors>(writer, lit, p, st.count);
        } else {
          putStridedRow(writer, lit, p, st.step, st.count);
        }
      }
    }
    writer.finish();
  }
}

}  // namespace lc
