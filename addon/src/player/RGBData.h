#pragma once

// Three-bit colour mapping: per LED one bit for each of red, green and blue,
// set when that channel of its pixel is non-zero once corrected. LED k's bits are bits 3k,
// 3k + 1 and 3k + 2 of its module's slot.

#include <cstdint>
#include <memory>
#include <vector>

#include "player/Data.h"

namespace lc {

class RGBData : public Data {
 public:
  struct Pixel {
    float x;
    float y;
    std::uint32_t source;  // offset of the LED's pixel in an image
    // Offsets in the frame block of the bytes holding each channel's bit.
    std::uint32_t targetR;
    std::uint32_t targetG;
    std::uint32_t targetB;
    std::uint8_t bitR;
    std::uint8_t bitG;
    std::uint8_t bitB;
  };

  // Bytes one module of `type` takes in a frame; 0 for a relay or unknown type.
  static std::uint32_t typeSlotSize(ModuleType type);

  void initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                            std::uint32_t frameLength, std::uint32_t width,
                            std::uint32_t height) override;
  void update(const unsigned char* image, unsigned length, Format format) override;
  std::unique_ptr<Data> clone() const override { return std::make_unique<RGBData>(*this); }

  const std::vector<Pixel>& pixels() const { return pixels_; }

 private:
  void restrideTables(std::uint32_t to) override { table_.restride(to); }
  // Which kernels update() takes: portable words, SSE2, or SSSE3 shuffles.
  enum Kernel { kWords, kVectors, kShuffles };

  template <bool Bgr>
  void writeAll(const unsigned char* image, unsigned length);
  // `lit` says when a channel's bit is set (pixel::NonZero or pixel::Above<>).
  template <bool Bgr, typename Lit>
  void writeAll(const unsigned char* image, unsigned length, const Lit& lit);
  template <bool Bgr, int Kernel, typename Lit>
  void writeBits(const unsigned char* image, unsigned length, Lit lit);

  std::vector<Pixel> pixels_;
  SourceTable table_;
};

}  // namespace lc
