#include "player/MaskData.h"

namespace lc {

std::uint32_t MaskData::typeSlotSize(ModuleType type) { return pixelSlots(type).mask; }

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
  // Eight LEDs in a row share a byte: it is built in a register and stored
  // once, instead of eight dependent read-modify-writes.
  std::uint8_t* const out = bytes();
  const Pixel* const end = pixels_.data() + pixels_.size();
  const Pixel* it = pixels_.data();
  if (it == end) return;
  std::uint32_t target = it->target;
  unsigned byte = out[target];
  for (; it != end; ++it) {
    const Pixel px = *it;
    if (px.source + 2 >= length) continue;
    if (px.target != target) {
      out[target] = static_cast<std::uint8_t>(byte);
      target = px.target;
      byte = out[target];
    }
    const unsigned char* in = image + px.source;
    const unsigned mask = 1u << px.bit;
    const unsigned lit = (in[0] | in[1] | in[2]) != 0;
    // Without a branch, as in RGBData: the pixels defeat prediction.
    byte = (byte & ~mask) | (mask * lit);
  }
  out[target] = static_cast<std::uint8_t>(byte);
}

}  // namespace lc
