#pragma once

// One-bit mapping: per LED one bit, set when any colour channel of its pixel
// is non-zero once corrected. LED k's bit is bit k mod 8 of slot byte k / 8.

#include <cstdint>
#include <memory>
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
  // The byte order matters only to a colour correction.
  void update(const unsigned char* image, unsigned length, Format format) override;
  std::unique_ptr<Data> clone() const override { return std::make_unique<MaskData>(*this); }

  const std::vector<Pixel>& pixels() const { return pixels_; }

 private:
  void restrideTables(std::uint32_t to) override { table_.restride(to); }
  // `lit` says when a channel lights the LED (pixel::NonZero or pixel::Above<>).
  template <typename Lit>
  void writeAll(const unsigned char* image, unsigned length, const Lit& lit);
  template <bool Vectors, typename Lit>
  void writeBits(const unsigned char* image, unsigned length, Lit lit);

  std::vector<Pixel> pixels_;
  SourceTable table_;
};

}  // namespace lc
