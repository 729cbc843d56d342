#pragma once

// One-bit mapping: per LED one bit, set when any colour channel of its pixel
// is non-zero. LED k's bit is bit k mod 8 of slot byte k / 8.

#include <cstdint>
#include <vector>

#include "player/Data.h"

namespace lc {

class MaskData : public Data {
 public:
  struct Pixel {
    float x;
    float y;
    std::uint32_t source;  // offset of the LED's pixel in an image
    std::uint32_t target;  // offset of the byte holding its bit in the frame block
    std::uint8_t bit;
  };

  // Bytes one module of `type` takes in a frame; 0 for a relay or unknown type.
  static std::uint32_t typeSlotSize(ModuleType type);

  void initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                            std::uint32_t frameLength, std::uint32_t width,
                            std::uint32_t height) override;
  // The byte order does not matter to a mask.
  void update(const unsigned char* image, unsigned length, Format format) override;

  const std::vector<Pixel>& pixels() const { return pixels_; }

 private:
  template <bool Vectors>
  void writeBits(const unsigned char* image, unsigned length);

  std::vector<Pixel> pixels_;
  SourceTable table_;
};

}  // namespace lc
