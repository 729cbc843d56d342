#include "player/RGBData.h"

#include "player/PixelWords.h"

namespace lc {

namespace {

// Sets or clears one bit, leaving the other bits of the byte alone. Without
// a branch: on a large installation the channel values defeat prediction.
inline void putBit(std::uint8_t& byte, unsigned bit, unsigned on) {
  const unsigned mask = 1u << bit;
  byte = static_cast<std::uint8_t>((byte & ~mask) | (mask * on));
}

// The three bits of up to eight LEDs, LED j's red, green and blue at bits
// 3j, 3j + 1 and 3j + 2, from their channel flags packed as
// OR(nonZeroChannels(w_j) << 3j). After the shift by 7, LED j's pixel bytes
// 0, 1 and 2 sit at bits 3j, 3j + 8 and 3j + 16: three residues modulo 3,
// so each colour is picked out with one shift and one mask.
template <bool Bgr>
inline std::uint32_t gatherBits(std::uint64_t flags) {
  constexpr std::uint64_t kRed = 0x249249;  // bits 3j, j = 0 .. 7
  const std::uint64_t y = flags >> 7;
  const std::uint64_t green = (y >> 7) & (kRed << 1);
  if (Bgr) {
    return static_cast<std::uint32_t>(((y >> 16) & kRed) | green | ((y << 2) & (kRed << 2)));
  }
  return static_cast<std::uint32_t>((y & kRed) | green | ((y >> 14) & (kRed << 2)));
}

template <bool Bgr>
inline std::uint32_t bitsOf(const unsigned char* image, const std::uint32_t* source,
                            std::uint32_t count) {
  // Last LED first: each step is one multiply-add by 8 (as in MaskData).
  std::uint64_t flags = 0;
  for (std::uint32_t j = count; j-- > 0;) {
    flags = 8 * flags + pixel::nonZeroChannels(pixel::load(image + source[j]));
  }
  return gatherBits<Bgr>(flags);
}

}  // namespace

std::uint32_t RGBData::typeSlotSize(ModuleType type) { return pixelSlots(type).rgb; }

void RGBData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                   std::uint32_t frameLength, std::uint32_t width,
                                   std::uint32_t height) {
  pixels_.clear();
  table_.clear();
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      [](ModuleType type, std::uint32_t led) {
        return (3 * static_cast<std::uint64_t>(led) + 3) <= 8ull * typeSlotSize(type);
      },
      [&](const Placement& p) {
        const std::uint32_t b = 3 * p.led;
        pixels_.push_back(Pixel{p.x, p.y, p.source, p.slot + b / 8, p.slot + (b + 1) / 8,
                                p.slot + (b + 2) / 8, static_cast<std::uint8_t>(b % 8),
                                static_cast<std::uint8_t>((b + 1) % 8),
                                static_cast<std::uint8_t>((b + 2) % 8)});
        table_.add(p);
      });
}

template <bool Bgr>
void RGBData::writeBits(const unsigned char* image, unsigned length) {
  std::uint8_t* const frames = bytes();
  for (const Run run : table_.runs) {  // a copy: frame stores may alias it
    const std::uint32_t* source = table_.sourcesOf(run);
    const std::uint32_t firstBit = 3 * run.firstLed;
    std::uint8_t* out = frames + run.slot + firstBit / 8;
    if (!wholeRunFits(run, length)) {
      for (std::uint32_t i = 0; i < run.count; ++i) {
        if (skipped(source[i], length)) continue;
        const unsigned char* in = image + source[i];
        const std::uint32_t b = firstBit + 3 * i;
        std::uint8_t* slot = frames + run.slot;
        putBit(slot[b / 8], b % 8, in[Bgr ? 2 : 0] != 0);
        putBit(slot[(b + 1) / 8], (b + 1) % 8, in[1] != 0);
        putBit(slot[(b + 2) / 8], (b + 2) % 8, in[Bgr ? 0 : 2] != 0);
      }
      continue;
    }
    // The run's bits are built in a register and stored a byte at a time;
    // only the first and the last byte keep bits that are not the run's.
    const unsigned shift = firstBit % 8;
    std::uint64_t pending = *out & ((1u << shift) - 1);
    std::uint32_t i = 0;
    for (; i + 8 <= run.count; i += 8) {
      pending |= static_cast<std::uint64_t>(bitsOf<Bgr>(image, source + i, 8)) << shift;
      out[0] = static_cast<std::uint8_t>(pending);
      out[1] = static_cast<std::uint8_t>(pending >> 8);
      out[2] = static_cast<std::uint8_t>(pending >> 16);
      out += 3;
      pending >>= 24;
    }
    const std::uint32_t rest = run.count - i;
    pending |= static_cast<std::uint64_t>(bitsOf<Bgr>(image, source + i, rest)) << shift;
    unsigned bits = shift + 3 * rest;
    for (; bits >= 8; bits -= 8, pending >>= 8) *out++ = static_cast<std::uint8_t>(pending);
    if (bits > 0) {
      const unsigned keep = ~((1u << bits) - 1);
      *out = static_cast<std::uint8_t>((*out & keep) | (pending & ~keep));
    }
  }
}

void RGBData::update(const unsigned char* image, unsigned length, Format format) {
  if (image == nullptr) return;
  if (format == BGR) {
    writeBits<true>(image, length);
  } else {
    writeBits<false>(image, length);
  }
}

}  // namespace lc
