#include "player/MaskData.h"

namespace lc {

std::uint32_t MaskData::typeSlotSize(ModuleType type) {
  return isTile(type) ? (ledCount(type) + 7) / 8 : 0;
}

void MaskData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                    std::uint32_t frameLength, std::uint32_t width,
                                    std::uint32_t height) {
  pixels_.clear();
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      [](ModuleType type, std::uint32_t led) { return led / 8 < typeSlotSize(type); },
      [&](const Placement& p) {
        pixels_.push_back(
            Pixel{p.x, p.y, p.source, p.slot + p.led / 8, static_cast<std::uint8_t>(p.led % 8)});
      });
}

void MaskData::update(const unsigned char* image, unsigned length, Format) {
  if (image == nullptr) return;
  std::uint8_t* out = bytes();
  for (const Pixel& px : pixels_) {
    if (px.source + 2 >= length) continue;
    const unsigned char* in = image + px.source;
    const unsigned mask = 1u << px.bit;
    const unsigned lit = (in[0] | in[1] | in[2]) != 0;
    // Without a branch, as in RGBData: the pixels defeat prediction.
    out[px.target] = static_cast<std::uint8_t>((out[px.target] & ~mask) | (mask * lit));
  }
}

}  // namespace lc
