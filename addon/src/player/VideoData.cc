#include "player/VideoData.h"

#include <algorithm>

namespace lc {

std::uint32_t VideoData::typeSlotSize(ModuleType type) { return pixelSlots(type).video; }

void VideoData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                     std::uint32_t frameLength, std::uint32_t width,
                                     std::uint32_t height) {
  pixels_.clear();
  monoPixels_.clear();
  const auto bytesPerLed = [](ModuleType type) { return pixelSlots(type).videoBytesPerLed; };
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      [&](ModuleType type, std::uint32_t led) {
        const std::uint32_t n = bytesPerLed(type);
        return n != 0 && (static_cast<std::uint64_t>(led) + 1) * n <= typeSlotSize(type);
      },
      [&](const Placement& p) {
        const std::uint32_t n = bytesPerLed(p.type);
        (n < 3 ? monoPixels_ : pixels_).push_back(Pixel{p.x, p.y, p.source, p.slot + n * p.led});
      });
}

template <unsigned Red, unsigned Blue>
void VideoData::writeColours(const unsigned char* image, unsigned length) {
  // Bytes may alias anything: read each pixel into locals before storing,
  // so the compiler need not reload after every store.
  std::uint8_t* const out = bytes();
  const Pixel* const end = pixels_.data() + pixels_.size();
  for (const Pixel* px = pixels_.data(); px != end; ++px) {
    const std::uint32_t source = px->source;
    const std::uint32_t target = px->target;
    if (source + 2 >= length) continue;
    const unsigned char red = image[source + Red];
    const unsigned char green = image[source + 1];
    const unsigned char blue = image[source + Blue];
    out[target] = red;
    out[target + 1] = green;
    out[target + 2] = blue;
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
