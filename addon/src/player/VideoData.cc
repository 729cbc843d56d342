#include "player/VideoData.h"

#include <algorithm>

namespace lc {

std::uint32_t VideoData::typeSlotSize(ModuleType type) {
  switch (type) {
    case TypeDelta:
      return 93;
    case TypeQuadra:
    case TypeQuadraV2:
      return 300;
    case TypeVarna:
      return 4;
    default:
      return 0;
  }
}

void VideoData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                     std::uint32_t frameLength, std::uint32_t width,
                                     std::uint32_t height) {
  pixels_.clear();
  monoPixels_.clear();
  const auto bytesPerLed = [](ModuleType type) { return type == TypeVarna ? 1u : 3u; };
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      [&](ModuleType type, std::uint32_t led) {
        return (static_cast<std::uint64_t>(led) + 1) * bytesPerLed(type) <= typeSlotSize(type);
      },
      [&](const Placement& p) {
        const std::uint32_t n = bytesPerLed(p.type);
        (n == 1 ? monoPixels_ : pixels_).push_back(Pixel{p.x, p.y, p.source, p.slot + n * p.led});
      });
}

template <unsigned Red, unsigned Blue>
void VideoData::writeColours(const unsigned char* image, unsigned length) {
  std::uint8_t* out = bytes();
  for (const Pixel& px : pixels_) {
    if (px.source + 2 >= length) continue;
    const unsigned char* in = image + px.source;
    std::uint8_t* t = out + px.target;
    t[0] = in[Red];
    t[1] = in[1];
    t[2] = in[Blue];
  }
}

void VideoData::update(const unsigned char* image, unsigned length, Format format) {
  if (image == nullptr) return;
  if (format == BGR) {
    writeColours<2, 0>(image, length);
  } else {
    writeColours<0, 2>(image, length);
  }
  std::uint8_t* out = bytes();
  for (const Pixel& px : monoPixels_) {
    if (px.source + 2 >= length) continue;
    const unsigned char* in = image + px.source;
    out[px.target] = std::max({in[0], in[1], in[2]});
  }
}

}  // namespace lc
