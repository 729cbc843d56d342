#include "player/RGBData.h"

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "player/PixelWords.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if LC_PIXEL_SHUFFLES
#include <tmmintrin.h>
#endif
#if LC_PIXEL_WIDE
#include "player/RGBWide.h"
#endif

namespace lc {

namespace {

// Sets or clears one bit, leaving the other bits of the byte alone. Without
// a branch: on a large installation the channel values defeat prediction.
inline void putBit(std::uint8_t& byte, unsigned bit, unsigned on) {
  const unsigned mask = 1u << bit;
  byte = static_cast<std::uint8_t>((byte & ~mask) | (mask * on));
}

// Most LEDs one put() takes: their 30 bits fit the writer's 32.
constexpr std::uint32_t kMaxPut = 10;

// The three bits of up to ten LEDs, LED j's red, green and blue at bits
// 3j, 3j + 1 and 3j + 2, from their channel flags packed as
// OR(nonZeroChannels(w_j) << 3j). After the shift by 7, LED j's pixel bytes
// 0, 1 and 2 sit at bits 3j, 3j + 8 and 3j + 16: three residues modulo 3,
// so each colour is picked out with one shift and one mask, whatever the
// number of LEDs (ten keep the flags within 64 bits).
template <bool Bgr>
inline std::uint32_t gatherBits(std::uint64_t flags) {
  constexpr std::uint64_t kRed = 0x9249249;  // bits 3j, j = 0 .. 9
  const std::uint64_t y = flags >> 7;
  const std::uint64_t green = (y >> 7) & (kRed << 1);
  if (Bgr) {
    return static_cast<std::uint32_t>(((y >> 16) & kRed) | green | ((y << 2) & (kRed << 2)));
  }
  return static_cast<std::uint32_t>((y & kRed) | green | ((y >> 14) & (kRed << 2)));
}

// The three bits of up to ten LEDs, the pixel of LED j at pixelAt(j).
template <bool Bgr, typename Lit, typename PixelAt>
inline std::uint32_t bitsOf(const Lit& lit, PixelAt pixelAt, std::uint32_t count) {
  // Last LED first: each step is one multiply-add by 8 (as in MaskData).
  std::uint64_t flags = 0;
  for (std::uint32_t j = count; j-- > 0;) {
    flags = 8 * flags + lit.channels(pixel::load(pixelAt(j)));
  }
  return gatherBits<Bgr>(flags);
}

// The channel flags of `count` (at most ten) pixels that follow each
// other, packed as bitsOf packs them, two pixels a word: the second
// pixel's flags (bits 39, 47 and 55) are folded down next to the first's,
// 3 bits higher.
template <typename Lit>
LC_PIXEL_INLINE std::uint64_t wordFlags(const Lit& lit, const unsigned char* p,
                                        std::uint32_t count) {
  std::uint64_t flags = 0;
  std::uint32_t j = 0;
  for (; j + 2 <= count; j += 2) {
    const std::uint64_t both = lit.pair(pixel::load2(p + 4 * j));
    flags |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(both | both >> 29)) << (3 * j);
  }
  if (j < count) {
    flags |= static_cast<std::uint64_t>(lit.channels(pixel::load(p + 4 * j))) << (3 * j);
  }
  return flags;
}

// The rows of a stretch of pixels that follow each other, ten LEDs (30
// bits) a put(). The writer is passed by value so that it stays in
// registers across the rows. So is the stretch: the frame stores may
// alias anything, and would make its fields be read again every row.
template <bool Bgr, typename Lit, typename Stretch>
pixel::BitWriter putWordRows(pixel::BitWriter out, const Lit lit, const unsigned char* image,
                             const Stretch st) {
  std::ptrdiff_t at = st.start;
  for (std::uint32_t r = 0; r < st.rows; ++r, at += st.rowStep) {
    const unsigned char* p = image + at;
    for (std::uint32_t left = st.count; left > 0;) {
      const std::uint32_t n = std::min(left, kMaxPut);
      out.put(gatherBits<Bgr>(wordFlags(lit, p, n)), 3 * n);
      p += 4 * n;
      left -= n;
    }
  }
  return out;
}

// The same for rows of N LEDs: with the length known, a row is straight
// code, one put() and no branch but the loop's, which is what keeps short
// rows (a tile's rows of ten) cheap.
template <bool Bgr, std::uint32_t N, typename Lit, typename Stretch>
pixel::BitWriter putWordRowsOf(pixel::BitWriter out, const Lit lit, const unsigned char* image,
                               const Stretch st) {
  std::ptrdiff_t at = st.start;
  for (std::uint32_t r = 0; r < st.rows; ++r, at += st.rowStep) {
    out.put(gatherBits<Bgr>(wordFlags(lit, image + at, N)), 3 * N);
  }
  return out;
}

template <bool Bgr, typename Lit, typename Stretch, std::size_t... N>
pixel::BitWriter putWordRows(pixel::BitWriter out, const Lit& lit, const unsigned char* image,
                             const Stretch st, std::index_sequence<N...>) {
  using Rows = pixel::BitWriter (*)(pixel::BitWriter, Lit, const unsigned char*, Stretch);
  static constexpr Rows kRowsOf[] = {&putWordRowsOf<Bgr, N + 1, Lit, Stretch>...};
  if (st.count - 1 < sizeof...(N)) return kRowsOf[st.count - 1](out, lit, image, st);
  return putWordRows<Bgr>(out, lit, image, st);
}

#if defined(__SSE2__)
// Eight pixels that follow each other: a byte compare with zero gives four
// flag bits per pixel (the fourth is pixel byte 3, dropped), which are then
// packed to three by halving the gaps: nibbles to 6-bit bytes, bytes to
// 12-bit halves, halves to 24 bits.
template <bool Bgr, typename Lit>
inline std::uint32_t vectorBitsOfEight(const Lit& lit, const unsigned char* p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i a = lit.bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  const __m128i b = lit.bytes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
  const std::uint32_t zeros =
      static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero))) |
      static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero))) << 16;
  std::uint32_t x = ~zeros;
  if (Bgr) x = (x & 0x22222222u) | (x & 0x11111111u) << 2 | (x >> 2 & 0x11111111u);
  x = (x & 0x07070707u) | (x >> 1 & 0x38383838u);
  x = (x & 0x003f003fu) | (x >> 2 & 0x0fc00fc0u);
  return (x & 0x00000fffu) | (x >> 4 & 0x00fff000u);
}
#endif

template <bool Bgr, bool Vectors, typename Lit>
inline std::uint32_t bitsOfEight(const Lit& lit, const unsigned char* p) {
#if defined(__SSE2__)
  if (Vectors) return vectorBitsOfEight<Bgr>(lit, p);
#endif
  return bitsOf<Bgr>(
      lit, [p](std::uint32_t i) { return p + 4 * i; }, 8);
}

// A row of `count` pixels `step` bytes apart, ten LEDs (30 bits) at a
// time.
template <bool Bgr, typename Lit>
inline void putStridedRow(pixel::BitWriter& out, const Lit& lit, const unsigned char* p,
                          std::int32_t step, std::uint32_t count) {
  for (std::uint32_t j = 0; j < count; j += kMaxPut) {
    const unsigned char* first = p + std::ptrdiff_t{step} * j;
    const std::uint32_t n = std::min(kMaxPut, count - j);
    out.put(
        bitsOf<Bgr>(
            lit, [first, step](std::uint32_t i) { return first + std::ptrdiff_t{step} * i; }, n),
        3 * n);
  }
}

// The last eight to fifteen LEDs of a row of pixels that follow each other,
// from the bits of the eight at the start of the rest and of the row's last
// eight: where they overlap they hold the same bits.
inline void putRest(pixel::BitWriter& out, std::uint32_t first, std::uint32_t last,
                    std::uint32_t rest) {
  if (rest <= 10) {
    out.put(first | last << (3 * (rest - 8)), 3 * rest);
  } else {
    out.put(first, 24);
    out.put(last >> (3 * (16 - rest)), 3 * (rest - 8));
  }
}

// A row of `count` pixels that follow each other (count >= 8), eight LEDs
// at a time; a row that does not end on a group of eight ends with its
// last eight pixels.
template <bool Bgr, bool Vectors, typename Lit>
inline void putRow(pixel::BitWriter& out, const Lit& lit, const unsigned char* p,
                   std::uint32_t count) {
  std::uint32_t j = 0;
  for (; j + 16 <= count; j += 8) out.put(bitsOfEight<Bgr, Vectors>(lit, p + 4 * j), 24);
  putRest(out, bitsOfEight<Bgr, Vectors>(lit, p + 4 * j),
          bitsOfEight<Bgr, Vectors>(lit, p + 4 * (count - 8)), count - j);
}

#if LC_PIXEL_SHUFFLES
// Eight pixels that follow each other: their colour bytes are shuffled
// into place (pixel byte 3 dropped, red first) so that the compares' top
// bits are the LEDs' bits as they are sent.
template <bool Bgr, typename Lit>
__attribute__((target("ssse3"), always_inline)) inline std::uint32_t shuffledBitsOfEight(
    const Lit& lit, const unsigned char* p) {
  const __m128i order = Bgr ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                            : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m128i zero = _mm_setzero_si128();
  const __m128i a =
      lit.sentBytes(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), order));
  const __m128i b = lit.sentBytes(
      _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), order));
  const std::uint32_t zeros =
      (static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero))) & 0xfffu) |
      static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, zero))) << 12;
  return ~zeros & 0xffffffu;
}

// The rows of a stretch of pixels that follow each other as putRow writes
// them. Compiled for SSSE3 as a whole, so that the per-row work is not a
// call; taken only when the machine has it. The writer is passed by value
// so that it stays in registers.
template <bool Bgr, typename Lit, typename Stretch>
__attribute__((target("ssse3"))) pixel::BitWriter putRowsShuffled(pixel::BitWriter out,
                                                                  const Lit lit,
                                                                  const unsigned char* image,
                                                                  const Stretch st) {
  const std::uint32_t count = st.count;
  for (std::uint32_t r = 0; r < st.rows; ++r) {
    const unsigned char* p = image + st.rowStart(r);
    if (count < 8) {
      out.put(bitsOf<Bgr>(
                  lit, [p](std::uint32_t i) { return p + 4 * i; }, count),
              3 * count);
      continue;
    }
    std::uint32_t j = 0;
    for (; j + 16 <= count; j += 8) out.put(shuffledBitsOfEight<Bgr>(lit, p + 4 * j), 24);
    putRest(out, shuffledBitsOfEight<Bgr>(lit, p + 4 * j),
            shuffledBitsOfEight<Bgr>(lit, p + 4 * (count - 8)), count - j);
  }
  return out;
}
#endif

}  // namespace

std::uint32_t RGBData::typeSlotSize(ModuleType type) { return pixelSlots(type).rgb; }

void RGBData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                   std::uint32_t frameLength, std::uint32_t width,
                                   std::uint32_t height) {
  std::vector<Pixel>().swap(pixels_);
  table_.clear(4 * width);
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      // Three bits per LED, in index order.
      [](ModuleType type) { return 8ull * typeSlotSize(type) / 3; },
      [&](const ModuleLeds& m) {
        table_.add(m);
        if (!keepRecords_) return;
        forEachPlaced(m, [&](std::uint32_t led, float x, float y, std::uint32_t source) {
          const std::uint32_t b = 3 * led;
          pixels_.push_back(Pixel{x, y, source, m.slot + b / 8, m.slot + (b + 1) / 8,
                                  m.slot + (b + 2) / 8, static_cast<std::uint8_t>(b % 8),
                                  static_cast<std::uint8_t>((b + 1) % 8),
                                  static_cast<std::uint8_t>((b + 2) % 8)});
        });
      });
  table_.finish();
}

template <bool Bgr, int Kernel, typename Lit>
void RGBData::writeBits(const unsigned char* image, unsigned length, const Lit lit) {
  constexpr bool vectors = Kernel != kWords;
  [[maybe_unused]] const bool wide = vectors && pixel::wideKernels();
  std::uint8_t* const frames = bytes();
  const std::size_t runs = table_.runs.size();
  for (std::size_t i = 0; i < runs; ++i) {
#if LC_PIXEL_WIDE
    if (wide) {
      // Without a correction every bound is 0, and the subtraction is left out.
      i = rgbwide::putRunsWide<Bgr, !std::is_same_v<Lit, pixel::NonZero>>(
          frames, table_.runs.data(), i, runs, table_.stretches.data(), image, length,
          lit.bounds());
      if (i == runs) break;
    }
#endif
    const Run run = table_.runs[i];  // a copy: frame stores may alias it
    const std::uint32_t firstBit = 3 * run.firstLed;
    if (!wholeRunFits(run, length)) {
      std::uint8_t* const slot = frames + run.slot;
      table_.forEachSource(
          run, [image, length, slot, firstBit, &lit](std::uint32_t i, std::uint32_t source) {
            if (skipped(source, length)) return;
            const unsigned char* in = image + source;
            const std::uint32_t b = firstBit + 3 * i;
            putBit(slot[b / 8], b % 8, lit.on(in[Bgr ? 2 : 0], Bgr ? 2 : 0));
            putBit(slot[(b + 1) / 8], (b + 1) % 8, lit.on(in[1], 1));
            putBit(slot[(b + 2) / 8], (b + 2) % 8, lit.on(in[Bgr ? 0 : 2], Bgr ? 0 : 2));
          });
      continue;
    }
    // The run's bits are built in a register; only the first and the last
    // byte keep bits that are not the run's.
    pixel::BitWriter writer(frames + run.slot + firstBit / 8, firstBit % 8);
    for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
      const Stretch st = table_.stretches[k];
      if (st.irregular()) {
        const std::uint32_t* source = table_.sources.data() + st.start;
        for (std::uint32_t j = 0; j < st.count; j += kMaxPut) {
          const std::uint32_t n = std::min(kMaxPut, st.count - j);
          const std::uint32_t* s = source + j;
          writer.put(bitsOf<Bgr>(
                         lit, [image, s](std::uint32_t i) { return image + s[i]; }, n),
                     3 * n);
        }
        continue;
      }
      if (Kernel == kWords && st.step == 4) {
        writer = putWordRows<Bgr>(writer, lit, image, st, std::make_index_sequence<kMaxPut>());
        continue;
      }
#if LC_PIXEL_SHUFFLES
      if (Kernel == kShuffles && st.step == 4) {
        writer = putRowsShuffled<Bgr>(writer, lit, image, st);
        continue;
      }
#endif
      for (std::uint32_t r = 0; r < st.rows; ++r) {
        const unsigned char* p = image + st.rowStart(r);
        if (st.step == 4 && st.count >= 8) {
          putRow<Bgr, vectors>(writer, lit, p, st.count);
        } else {
          putStridedRow<Bgr>(writer, lit, p, st.step, st.count);
        }
      }
    }
    writer.finish();
  }
}

template <bool Bgr, typename Lit>
void RGBData::writeAll(const unsigned char* image, unsigned length, const Lit& lit) {
  if (pixel::byteShuffles()) {
    writeBits<Bgr, kShuffles>(image, length, lit);
  } else if (pixel::vectorKernels()) {
    writeBits<Bgr, kVectors>(image, length, lit);
  } else {
    writeBits<Bgr, kWords>(image, length, lit);
  }
}

template <bool Bgr>
void RGBData::writeAll(const unsigned char* image, unsigned length) {
  if (correction_.identity()) {
    writeAll<Bgr>(image, length, pixel::NonZero{});
    return;
  }
  // A channel's bit follows its corrected value (a dim channel that the
  // curve takes to 0 stays dark, as it would in full colour), which the
  // curves' bounds give without a lookup per LED.
  const unsigned red = Bgr ? 2 : 0;
  std::uint8_t bound[3];
  bound[red] = correction_.darkUpTo(Correction::Red);
  bound[1] = correction_.darkUpTo(Correction::Green);
  bound[2 - red] = correction_.darkUpTo(Correction::Blue);
  const unsigned sent[3] = {red, 1, 2 - red};
  if (std::max({bound[0], bound[1], bound[2]}) < 128) {
    writeAll<Bgr>(image, length, pixel::Above<true>(bound, sent));
  } else {
    writeAll<Bgr>(image, length, pixel::Above<false>(bound, sent));
  }
}

void RGBData::update(const unsigned char* image, unsigned length, Format format) {
  if (image == nullptr) return;
  if (format == BGR) {
    writeAll<true>(image, length);
  } else {
    writeAll<false>(image, length);
  }
}

}  // namespace lc
