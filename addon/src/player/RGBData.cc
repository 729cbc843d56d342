#include "player/RGBData.h"

namespace lc {

namespace {

// Sets or clears one bit, leaving the other bits of the byte alone. Without
// a branch: on a large installation the channel values defeat prediction.
inline void putBit(std::uint8_t& byte, std::uint8_t bit, unsigned on) {
  const unsigned mask = 1u << bit;
  byte = static_cast<std::uint8_t>((byte & ~mask) | (mask * on));
}

}  // namespace

std::uint32_t RGBData::typeSlotSize(ModuleType type) { return pixelSlots(type).rgb; }

void RGBData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                   std::uint32_t frameLength, std::uint32_t width,
                                   std::uint32_t height) {
  pixels_.clear();
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
      });
}

template <unsigned Red, unsigned Blue>
void RGBData::writeBits(const unsigned char* image, unsigned length) {
  std::uint8_t* const out = bytes();
  const Pixel* const end = pixels_.data() + pixels_.size();
  for (const Pixel* it = pixels_.data(); it != end; ++it) {
    // A local copy and the channels read up front: stores through bytes
    // could otherwise alias the record and the image.
    const Pixel px = *it;
    if (px.source + 2 >= length) continue;
    const unsigned red = image[px.source + Red] != 0;
    const unsigned green = image[px.source + 1] != 0;
    const unsigned blue = image[px.source + Blue] != 0;
    if (px.targetR == px.targetB) {
      // Six LEDs in eight keep their three bits in one byte: one
      // read-modify-write instead of three dependent ones.
      const unsigned mask = (1u << px.bitR) | (1u << px.bitG) | (1u << px.bitB);
      const unsigned bits = (red << px.bitR) | (green << px.bitG) | (blue << px.bitB);
      out[px.targetR] = static_cast<std::uint8_t>((out[px.targetR] & ~mask) | bits);
      continue;
    }
    putBit(out[px.targetR], px.bitR, red);
    putBit(out[px.targetG], px.bitG, green);
    putBit(out[px.targetB], px.bitB, blue);
  }
}

void RGBData::update(const unsigned char* image, unsigned length, Format format) {
  if (image == nullptr) return;
  if (format == BGR) {
    writeBits<2, 0>(image, length);
  } else {
    writeBits<0, 2>(image, length);
  }
}

}  // namespace lc
