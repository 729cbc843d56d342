#include "player/RGBData.h"

namespace lc {

namespace {

// Sets or clears one bit, leaving the other bits of the byte alone. Without
// a branch: on a large installation the channel values defeat prediction.
inline void putBit(std::uint8_t& byte, std::uint8_t bit, unsigned char value) {
  const unsigned mask = 1u << bit;
  byte = static_cast<std::uint8_t>((byte & ~mask) | (mask * (value != 0)));
}

}  // namespace

std::uint32_t RGBData::typeSlotSize(ModuleType type) {
  switch (type) {
    case TypeDelta:
      return 12;
    case TypeQuadra:
    case TypeQuadraV2:
      return 39;
    case TypeVarna:
      return 3;
    default:
      return 0;
  }
}

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
  std::uint8_t* out = bytes();
  for (const Pixel& px : pixels_) {
    if (px.source + 2 >= length) continue;
    const unsigned char* in = image + px.source;
    if (px.targetR == px.targetB) {
      // Six LEDs in eight keep their three bits in one byte: one
      // read-modify-write instead of three dependent ones.
      const unsigned mask = (1u << px.bitR) | (1u << px.bitG) | (1u << px.bitB);
      const unsigned bits = (static_cast<unsigned>(in[Red] != 0) << px.bitR) |
                            (static_cast<unsigned>(in[1] != 0) << px.bitG) |
                            (static_cast<unsigned>(in[Blue] != 0) << px.bitB);
      std::uint8_t& byte = out[px.targetR];
      byte = static_cast<std::uint8_t>((byte & ~mask) | bits);
      continue;
    }
    putBit(out[px.targetR], px.bitR, in[Red]);
    putBit(out[px.targetG], px.bitG, in[1]);
    putBit(out[px.targetB], px.bitB, in[Blue]);
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
