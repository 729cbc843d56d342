#include "player/VideoData.h"

#include <algorithm>

#include "player/PixelWords.h"

#if LC_PIXEL_SHUFFLES
#include <tmmintrin.h>
#endif

namespace lc {

std::uint32_t VideoData::typeSlotSize(ModuleType type) { return pixelSlots(type).video; }

void VideoData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                     std::uint32_t frameLength, std::uint32_t width,
                                     std::uint32_t height) {
  std::vector<Pixel>().swap(pixels_);
  std::vector<Pixel>().swap(monoPixels_);
  colours_.clear(4 * width);
  mono_.clear(4 * width);
  const auto bytesPerLed = [](ModuleType type) { return pixelSlots(type).videoBytesPerLed; };
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      // One byte or three per LED, in index order.
      [bytesPerLed](ModuleType type) {
        const std::uint32_t n = bytesPerLed(type);
        return n == 0 ? 0 : typeSlotSize(type) / n;
      },
      [&](const ModuleLeds& m) {
        const std::uint32_t n = bytesPerLed(m.coordinates->type);
        const bool mono = n < 3;
        (mono ? mono_ : colours_).add(m);
        if (!keepRecords_) return;
        forEachPlaced(m, [&](std::uint32_t led, float x, float y, std::uint32_t source) {
          (mono ? monoPixels_ : pixels_).push_back(Pixel{x, y, source, m.slot + n * led});
        });
      });
  colours_.finish();
  mono_.finish();
}

namespace {

template <bool Bgr>
inline std::uint32_t colourOf(const unsigned char* in) {
  const std::uint32_t w = pixel::load(in);
  return Bgr ? pixel::swapRedBlue(w) : w;
}

inline void put3(std::uint8_t* out, std::uint32_t c) {
  out[0] = static_cast<std::uint8_t>(c);
  out[1] = static_cast<std::uint8_t>(c >> 8);
  out[2] = static_cast<std::uint8_t>(c >> 16);
}

// A row of `count` pixels that follow each other, a whole word per LED:
// its fourth byte lands on the next LED's red, which the next store
// overwrites. The row's last LED gets three bytes, so nothing past the row
// is touched.
template <bool Bgr>
inline std::uint8_t* putRow(std::uint8_t* out, const unsigned char* p, std::uint32_t count) {
  for (std::uint32_t j = 1; j < count; ++j, out += 3, p += 4) pixel::store(out, colourOf<Bgr>(p));
  put3(out, colourOf<Bgr>(p));
  return out + 3;
}

#if LC_PIXEL_SHUFFLES
__attribute__((target("ssse3"), always_inline)) inline void shuffleFour(std::uint8_t* out,
                                                                        const unsigned char* p,
                                                                        __m128i order) {
  const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), order);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), v);
  pixel::store(out + 8, static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 8))));
}

// The rows of a stretch of pixels that follow each other, with the bytes
// putRow writes, four LEDs a byte shuffle; a row that does not end on a
// group of four ends with its last four LEDs, rewriting a few bytes with
// the same values. Compiled for SSSE3 as a whole, so that the per-row work
// is not a call; taken only when the machine has it.
template <bool Bgr, typename Stretch>
__attribute__((target("ssse3"))) std::uint8_t* putRowsShuffled(std::uint8_t* out,
                                                               const unsigned char* image,
                                                               const Stretch st) {
  const __m128i order = Bgr ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                            : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const std::uint32_t count = st.count;
  for (std::uint32_t r = 0; r < st.rows; ++r, out += 3 * count) {
    const unsigned char* p = image + st.rowStart(r);
    if (count < 4) {
      for (std::uint32_t j = 0; j < count; ++j) put3(out + 3 * j, colourOf<Bgr>(p + 4 * j));
      continue;
    }
    // Groups of four up to the last one, which is the row's last four LEDs.
    const unsigned char* const last = p + 4 * (count - 4);
    std::uint8_t* o = out;
    for (; p < last; p += 16, o += 12) shuffleFour(o, p, order);
    shuffleFour(out + 3 * (count - 4), last, order);
  }
  return out;
}
#endif

}  // namespace

template <bool Bgr>
void VideoData::writeColours(const unsigned char* image, unsigned length) {
  std::uint8_t* const frames = bytes();
  const bool shuffles = pixel::byteShuffles();
  (void)shuffles;                        // no shuffle kernel on this machine type
  for (const Run run : colours_.runs) {  // a copy: frame stores may alias it
    std::uint8_t* out = frames + run.slot + 3 * run.firstLed;
    if (!wholeRunFits(run, length)) {
      colours_.forEachSource(run, [image, length, out](std::uint32_t i, std::uint32_t source) {
        if (skipped(source, length)) return;
        const unsigned char* in = image + source;
        out[3 * i] = in[Bgr ? 2 : 0];
        out[3 * i + 1] = in[1];
        out[3 * i + 2] = in[Bgr ? 0 : 2];
      });
      continue;
    }
    for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
      const Stretch st = colours_.stretches[k];
      if (st.irregular()) {
        const std::uint32_t* source = colours_.sources.data() + st.start;
        for (std::uint32_t j = 0; j < st.count; ++j, out += 3) {
          put3(out, colourOf<Bgr>(image + source[j]));
        }
        continue;
      }
#if LC_PIXEL_SHUFFLES
      if (shuffles && st.step == 4) {
        out = putRowsShuffled<Bgr>(out, image, st);
        continue;
      }
#endif
      for (std::uint32_t r = 0; r < st.rows; ++r) {
        const unsigned char* p = image + st.rowStart(r);
        if (st.step == 4) {
          out = putRow<Bgr>(out, p, st.count);
          continue;
        }
        for (std::uint32_t j = 0; j < st.count; ++j, out += 3, p += st.step) {
          put3(out, colourOf<Bgr>(p));
        }
      }
    }
  }
}

namespace {

// The playback's curves, red, green and blue.
struct Curves {
  const std::uint8_t* r;
  const std::uint8_t* g;
  const std::uint8_t* b;

  // The corrected colour of a pixel word, as colourOf() gives it.
  template <bool Bgr>
  std::uint32_t of(const unsigned char* in) const {
    const std::uint32_t w = pixel::load(in);
    const std::uint32_t red = Bgr ? w >> 16 & 0xffu : w & 0xffu;
    const std::uint32_t blue = Bgr ? w & 0xffu : w >> 16 & 0xffu;
    return std::uint32_t{r[red]} | std::uint32_t{g[w >> 8 & 0xffu]} << 8 |
           std::uint32_t{b[blue]} << 16;
  }
};

// A row of `count` pixels `step` bytes apart, corrected, a whole word per
// LED as putRow writes them. The curves are passed by value so that they
// stay in registers: the frame stores may alias anything.
template <bool Bgr>
inline std::uint8_t* putCorrectedRow(std::uint8_t* out, const Curves c, const unsigned char* p,
                                     std::ptrdiff_t step, std::uint32_t count) {
  std::uint32_t j = 1;
  for (; j + 2 <= count; j += 2, out += 6, p += 2 * step) {
    // Two LEDs a step: their six lookups are independent of each other.
    const std::uint32_t first = c.of<Bgr>(p);
    const std::uint32_t second = c.of<Bgr>(p + step);
    pixel::store(out, first);
    pixel::store(out + 3, second);
  }
  for (; j < count; ++j, out += 3, p += step) pixel::store(out, c.of<Bgr>(p));
  put3(out, c.of<Bgr>(p));
  return out + 3;
}

}  // namespace

template <bool Bgr>
void VideoData::writeCorrected(const unsigned char* image, unsigned length) {
  std::uint8_t* const frames = bytes();
  const Curves c{correction_.table(Correction::Red), correction_.table(Correction::Green),
                 correction_.table(Correction::Blue)};
  for (const Run run : colours_.runs) {  // a copy: frame stores may alias it
    std::uint8_t* out = frames + run.slot + 3 * run.firstLed;
    if (!wholeRunFits(run, length)) {
      colours_.forEachSource(run, [image, length, out, &c](std::uint32_t i, std::uint32_t source) {
        if (skipped(source, length)) return;
        const unsigned char* in = image + source;
        out[3 * i] = c.r[in[Bgr ? 2 : 0]];
        out[3 * i + 1] = c.g[in[1]];
        out[3 * i + 2] = c.b[in[Bgr ? 0 : 2]];
      });
      continue;
    }
    for (std::uint32_t k = run.firstStretch; k < run.endStretch; ++k) {
      const Stretch st = colours_.stretches[k];
      if (st.irregular()) {
        const std::uint32_t* source = colours_.sources.data() + st.start;
        for (std::uint32_t j = 0; j < st.count; ++j, out += 3)
          put3(out, c.of<Bgr>(image + source[j]));
        continue;
      }
      for (std::uint32_t r = 0; r < st.rows; ++r) {
        out = putCorrectedRow<Bgr>(out, c, image + st.rowStart(r), st.step, st.count);
      }
    }
  }
}

void VideoData::writeMono(const unsigned char* image, unsigned length, Format format) {
  std::uint8_t* const frames = bytes();
  const bool plain = correction_.identity();
  const Correction& c = correction_;
  const unsigned red = format == BGR ? 2 : 0;
  for (const Run run : mono_.runs) {  // a copy: frame stores may alias it
    std::uint8_t* out = frames + run.slot + run.firstLed;
    mono_.forEachSource(run, [&, out](std::uint32_t i, std::uint32_t source) {
      if (skipped(source, length)) return;
      const unsigned char* in = image + source;
      out[i] = plain
                   ? std::max({in[0], in[1], in[2]})
                   : std::max({c.apply(Correction::Red, in[red]), c.apply(Correction::Green, in[1]),
                               c.apply(Correction::Blue, in[2 - red])});
    });
  }
}

void VideoData::update(const unsigned char* image, unsigned length, Format format) {
  if (image == nullptr) return;
  // The corrected kernel is apart, so that an uncorrected playback keeps
  // the plain copies (and their byte shuffles) untouched.
  if (!correction_.identity()) {
    if (format == BGR) {
      writeCorrected<true>(image, length);
    } else {
      writeCorrected<false>(image, length);
    }
  } else if (format == BGR) {
    writeColours<true>(image, length);
  } else {
    writeColours<false>(image, length);
  }
  writeMono(image, length, format);
}

}  // namespace lc
