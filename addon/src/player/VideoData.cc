#include "player/VideoData.h"

#include <algorithm>

#include "player/PixelWords.h"

namespace lc {

std::uint32_t VideoData::typeSlotSize(ModuleType type) { return pixelSlots(type).video; }

void VideoData::initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                                     std::uint32_t frameLength, std::uint32_t width,
                                     std::uint32_t height) {
  pixels_.clear();
  monoPixels_.clear();
  colours_.clear();
  mono_.clear();
  const auto bytesPerLed = [](ModuleType type) { return pixelSlots(type).videoBytesPerLed; };
  rebuild(
      coordinates, frameLength, width, height, typeSlotSize,
      [&](ModuleType type, std::uint32_t led) {
        const std::uint32_t n = bytesPerLed(type);
        return n != 0 && (static_cast<std::uint64_t>(led) + 1) * n <= typeSlotSize(type);
      },
      [&](const Placement& p) {
        const std::uint32_t n = bytesPerLed(p.type);
        const bool mono = n < 3;
        (mono ? monoPixels_ : pixels_).push_back(Pixel{p.x, p.y, p.source, p.slot + n * p.led});
        (mono ? mono_ : colours_).add(p);
      });
}

template <bool Bgr>
void VideoData::writeColours(const unsigned char* image, unsigned length) {
  std::uint8_t* const frames = bytes();
  for (const Run run : colours_.runs) {  // a copy: frame stores may alias it
    const std::uint32_t* source = colours_.sourcesOf(run);
    std::uint8_t* out = frames + run.slot + 3 * run.firstLed;
    const std::uint32_t n = run.count;
    if (!wholeRunFits(run, length)) {
      for (std::uint32_t i = 0; i < n; ++i, out += 3) {
        if (skipped(source[i], length)) continue;
        const unsigned char* in = image + source[i];
        out[0] = in[Bgr ? 2 : 0];
        out[1] = in[1];
        out[2] = in[Bgr ? 0 : 2];
      }
      continue;
    }
    // A whole word per LED: its fourth byte lands on the next LED's red,
    // which the next store overwrites. The run's last LED gets three bytes,
    // so nothing past the run is touched.
    for (std::uint32_t i = 0; i + 1 < n; ++i, out += 3) {
      const std::uint32_t w = pixel::load(image + source[i]);
      pixel::store(out, Bgr ? pixel::swapRedBlue(w) : w);
    }
    const std::uint32_t w = pixel::load(image + source[n - 1]);
    const std::uint32_t c = Bgr ? pixel::swapRedBlue(w) : w;
    out[0] = static_cast<std::uint8_t>(c);
    out[1] = static_cast<std::uint8_t>(c >> 8);
    out[2] = static_cast<std::uint8_t>(c >> 16);
  }
}

void VideoData::writeMono(const unsigned char* image, unsigned length) {
  std::uint8_t* const frames = bytes();
  for (const Run run : mono_.runs) {  // a copy: frame stores may alias it
    const std::uint32_t* source = mono_.sourcesOf(run);
    std::uint8_t* out = frames + run.slot + run.firstLed;
    for (std::uint32_t i = 0; i < run.count; ++i) {
      if (skipped(source[i], length)) continue;
      const unsigned char* in = image + source[i];
      out[i] = std::max({in[0], in[1], in[2]});
    }
  }
}

void VideoData::update(const unsigned char* image, unsigned length, Format format) {
  if (image == nullptr) return;
  if (format == BGR) {
    writeColours<true>(image, length);
  } else {
    writeColours<false>(image, length);
  }
  writeMono(image, length);
}

}  // namespace lc
