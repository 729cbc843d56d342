#pragma once

// Full-colour mapping: three bytes (red, green, blue) per LED. The "varna"
// tile's slot is four bytes, one per LED, so each of its LEDs gets a single
// byte: the pixel's largest channel.

#include <cstdint>
#include <memory>
#include <vector>

#include "player/Data.h"

namespace lc {

class VideoData : public Data {
 public:
  struct Pixel {
    float x;
    float y;
    std::uint32_t source;  // offset of the LED's pixel in an image
    std::uint32_t target;  // offset of its red byte in the frame block
  };

  // Bytes one module of `type` takes in a frame; 0 for a relay or unknown type.
  static std::uint32_t typeSlotSize(ModuleType type);

  void initFromTopologyData(const TopologyData<CoordinatesData>& coordinates,
                            std::uint32_t frameLength, std::uint32_t width,
                            std::uint32_t height) override;
  void update(const unsigned char* image, unsigned length, Format format) override;
  std::unique_ptr<Data> clone() const override { return std::make_unique<VideoData>(*this); }

  const std::vector<Pixel>& pixels() const { return pixels_; }
  // The one-byte LEDs of "varna" tiles; target is the LED's only byte. Kept
  // apart so the colour loop has no branch.
  const std::vector<Pixel>& monoPixels() const { return monoPixels_; }

 private:
  void restrideTables(std::uint32_t to) override {
    colours_.restride(to);
    mono_.restride(to);
  }
  template <bool Bgr>
  void writeColours(const unsigned char* image, unsigned length);
  template <bool Bgr>
  void writeCorrected(const unsigned char* image, unsigned length);
  void writeMono(const unsigned char* image, unsigned length, Format format);

  std::vector<Pixel> pixels_;
  std::vector<Pixel> monoPixels_;
  SourceTable colours_;
  SourceTable mono_;
};

}  // namespace lc
