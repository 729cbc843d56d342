#include "player/MaskData.h"

#include "player/PixelWords.h"

namespace lc {

namespace {

// The bits of up to eight LEDs, LED j's at bit j. Taken last LED first, so
// that each step is a doubling and an add (one instruction on most
// machines) instead of a shift by j and an or.
inline unsigned bitsOf(const unsigned char* image, const std::uint32_t* source,
                       std::uint32_t count) {
  unsigned bits = 0;
  for (std::uint32_t j = count; j-- > 0;)
    bits = 2 * bits + pixel::lit(pixel::load(image + source[j]));
  return bits;
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
}

void MaskData::update(const unsigned char* image, unsigned length, Format) {
  if (image == nullptr) return;
  std::uint8_t* const frames = bytes();
  for (const Run run : table_.runs) {  // a copy: frame stores may alias it
    const std::uint32_t* source = table_.sourcesOf(run);
    std::uint8_t* out = frames + run.slot + run.firstLed / 8;
    const unsigned shift = run.firstLed % 8;
    if (!wholeRunFits(run, length)) {
      for (std::uint32_t i = 0; i < run.count; ++i) {
        if (skipped(source[i], length)) continue;
        const unsigned char* in = image + source[i];
        const unsigned bit = shift + i;
        const unsigned mask = 1u << (bit % 8);
        // Without a branch: the pixels defeat prediction.
        out[bit / 8] = static_cast<std::uint8_t>((out[bit / 8] & ~mask) |
                                                 (mask * ((in[0] | in[1] | in[2]) != 0)));
      }
      continue;
    }
    // Eight LEDs make a byte, built in a register; only the first and the
    // last byte keep bits that are not the run's.
    unsigned pending = *out & ((1u << shift) - 1);
    std::uint32_t i = 0;
    for (; i + 8 <= run.count; i += 8) {
      pending |= bitsOf(image, source + i, 8) << shift;
      *out++ = static_cast<std::uint8_t>(pending);
      pending >>= 8;
    }
    const std::uint32_t rest = run.count - i;
    pending |= bitsOf(image, source + i, rest) << shift;
    unsigned bits = shift + rest;
    if (bits >= 8) {
      *out++ = static_cast<std::uint8_t>(pending);
      pending >>= 8;
      bits -= 8;
    }
    if (bits > 0) {
      const unsigned keep = ~((1u << bits) - 1);
      *out = static_cast<std::uint8_t>((*out & keep) | (pending & ~keep));
    }
  }
}

}  // namespace lc
