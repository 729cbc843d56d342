// The pixel mappings write each image through compact per-run source tables.
// These tests hold them to the plain per-record algorithm (one LED at a
// time, from the pixel records the mappings still expose) on random
// installations, images, lengths, byte orders and colour corrections: every
// frame byte must match.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "player/MaskData.h"
#include "player/PixelWords.h"
#include "player/RGBData.h"
#include "player/VideoData.h"

namespace lc {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The frames of a mapping as one block, as the records' offsets see them.
Bytes framesOf(const Data& data) {
  Bytes all;
  for (std::size_t q = 0; q < data.frameCount(); ++q) {
    all.insert(all.end(), data.frame(q), data.frame(q) + data.frameLength());
  }
  return all;
}

// The record's image offset, worked out from its position as the player
// defines it: trunc(x) + trunc(y) * width pixels of four bytes, in 32 bits.
std::uint32_t sourceOf(float x, float y, std::uint32_t width) {
  const auto col = static_cast<std::int32_t>(std::trunc(x));
  const auto row = static_cast<std::int32_t>(std::trunc(y));
  return 4u * (static_cast<std::uint32_t>(col) + static_cast<std::uint32_t>(row) * width);
}

void setBit(std::uint8_t& byte, unsigned bit, bool on) {
  byte = static_cast<std::uint8_t>(on ? byte | (1u << bit) : byte & ~(1u << bit));
}

// One LED at a time, straight from the records, each channel looked up in
// the mapping's correction: the reference.
void referenceUpdate(const Data& data, Bytes& out, const Bytes& image, unsigned length,
                     Data::Format format) {
  const unsigned r = format == Data::BGR ? 2 : 0;
  const unsigned b = 2 - r;
  const auto skip = [&](std::uint32_t p) { return p + 2 >= length; };
  const Correction& c = data.correction();
  const auto red = [&](std::uint32_t p) { return c.apply(Correction::Red, image[p + r]); };
  const auto green = [&](std::uint32_t p) { return c.apply(Correction::Green, image[p + 1]); };
  const auto blue = [&](std::uint32_t p) { return c.apply(Correction::Blue, image[p + b]); };
  if (auto* video = dynamic_cast<const VideoData*>(&data)) {
    for (const auto& px : video->pixels()) {
      const std::uint32_t p = sourceOf(px.x, px.y, data.width());
      ASSERT_EQ(p, px.source);
      if (skip(p)) continue;
      out[px.target] = red(p);
      out[px.target + 1] = green(p);
      out[px.target + 2] = blue(p);
    }
    for (const auto& px : video->monoPixels()) {
      const std::uint32_t p = sourceOf(px.x, px.y, data.width());
      if (skip(p)) continue;
      out[px.target] = std::max({red(p), green(p), blue(p)});
    }
  } else if (auto* rgb = dynamic_cast<const RGBData*>(&data)) {
    for (const auto& px : rgb->pixels()) {
      const std::uint32_t p = sourceOf(px.x, px.y, data.width());
      if (skip(p)) continue;
      setBit(out[px.targetR], px.bitR, red(p) != 0);
      setBit(out[px.targetG], px.bitG, green(p) != 0);
      setBit(out[px.targetB], px.bitB, blue(p) != 0);
    }
  } else if (auto* mask = dynamic_cast<const MaskData*>(&data)) {
    for (const auto& px : mask->pixels()) {
      const std::uint32_t p = sourceOf(px.x, px.y, data.width());
      if (skip(p)) continue;
      setBit(out[px.target], px.bit, (red(p) | green(p) | blue(p)) != 0);
    }
  }
}

// A random installation in screen coordinates: relays, every tile model
// and an unknown type, invalid records, LEDs off the screen, fractional
// and integer positions, more positions than LEDs, ids with gaps.
struct Installation {
  TopologyData<CoordinatesData> coordinates;
  std::uint32_t width;
  std::uint32_t height;
};

Installation randomInstallation(std::mt19937& rng) {
  Installation in;
  in.width = 1 + rng() % 40;
  in.height = 1 + rng() % 30;
  const ModuleType types[] = {TypeRelay, TypeDelta, TypeQuadra, TypeQuadraV2, TypeVarna, 9};
  const unsigned modules = rng() % 40;
  for (unsigned id = 0; id < modules; ++id) {
    if (rng() % 10 == 0) continue;  // a gap in the ids
    CoordinatesData& c = in.coordinates[id];
    c.type = id == 0 ? ModuleType{TypeRelay} : types[rng() % 6];
    c.valid = id != 0 && rng() % 8 != 0;
    const unsigned leds = std::max(ledCount(c.type), 4u) + rng() % 3;
    const bool grid = rng() % 2 == 0;
    const float x0 = static_cast<float>(static_cast<int>(rng() % (in.width + 8)) - 4);
    const float y0 = static_cast<float>(static_cast<int>(rng() % (in.height + 8)) - 4);
    for (unsigned k = 0; k < leds; ++k) {
      // Either a 10-wide grid (long runs) or scattered points.
      const float x = grid ? x0 + static_cast<float>(k % 10) + 0.5f
                           : static_cast<float>(rng() % (10 * in.width + 40)) / 10.0f - 2.0f;
      const float y = grid ? y0 + static_cast<float>(k / 10) + 0.5f
                           : static_cast<float>(rng() % (10 * in.height + 40)) / 10.0f - 2.0f;
      c.screenX.push_back(x);
      c.screenY.push_back(y);
    }
  }
  return in;
}

// Half the time the identity; otherwise curves from nearly flat to steep,
// gains from none to clipping most values, some channels left alone.
Correction randomCorrection(std::mt19937& rng) {
  Correction c;
  if (rng() % 2 == 0) return c;
  std::array<double, 3> gamma{};
  std::array<double, 3> gains{};
  for (unsigned k = 0; k < 3; ++k) {
    const unsigned pick = rng() % 4;
    gamma[k] =
        pick == 0 ? 1.0 : Correction::kMinGamma + (rng() % 1000) / 1000.0 * (pick == 1 ? 1.0 : 9.9);
    const unsigned gain = rng() % 5;
    gains[k] = gain == 0   ? 0.0
               : gain == 1 ? 1.0
                           : (rng() % 1000) / 1000.0 * (gain == 2 ? 1.0 : 16.0);
  }
  EXPECT_TRUE(c.set(gamma, gains));
  return c;
}

Bytes randomImage(std::mt19937& rng, std::size_t length) {
  // Mostly zero channels, so that bits are both set and cleared.
  Bytes image(length);
  const unsigned zeros = rng() % 4;
  for (std::uint8_t& byte : image) byte = rng() % 4 < zeros ? 0 : static_cast<std::uint8_t>(rng());
  return image;
}

TEST(MappingOracleTest, EveryMappingWritesWhatThePerRecordAlgorithmWrites) {
  std::mt19937 rng(20260518);
  std::mt19937 curves(518);
  const std::uint32_t frameLengths[] = {0, 1, 2, 5, 14, 50, 305, 918, 1500};
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const Installation in = randomInstallation(rng);
    const std::uint32_t frameLength =
        rng() % 4 == 0 ? rng() % 2000 : frameLengths[rng() % (sizeof frameLengths / 4)];
    std::unique_ptr<Data> mappings[] = {std::make_unique<VideoData>(), std::make_unique<RGBData>(),
                                        std::make_unique<MaskData>()};
    for (auto& data : mappings) {
      data->initFromTopologyData(in.coordinates, frameLength, in.width, in.height);
      data->setCorrection(randomCorrection(curves));
      Bytes expected = framesOf(*data);
      // Several images in a row: LEDs an image does not reach keep what the
      // one before wrote.
      for (int frame = 0; frame < 4; ++frame) {
        const std::size_t full = 4u * in.width * in.height;
        std::size_t length = full;
        switch (rng() % 4) {
          case 0:
            length = rng() % (full + 1);
            break;
          case 1:
            length = full - std::min<std::size_t>(full, rng() % 6);
            break;
          case 2:
            length = full + rng() % 6;
            break;
        }
        const Bytes image = randomImage(rng, length);
        const auto format = rng() % 2 ? Data::BGR : Data::RGB;
        referenceUpdate(*data, expected, image, static_cast<unsigned>(length), format);
        data->update(image.data(), static_cast<unsigned>(length), format);
        ASSERT_EQ(framesOf(*data), expected) << "frame length " << frameLength << ", image "
                                             << length << " of " << full << ", format " << format;
      }
    }
  }
}

// Tiles whose LEDs walk a grid of a random width in one of the eight
// orientations, straight or back and forth, placed partly off the screen:
// rows of pixels that follow each other, rows a constant step apart in
// either direction, whole tiles that are one row, and runs broken by the
// screen's edges. Some tiles are scattered instead. `straight` tiles are
// square grids of ten, rows left to right, taken top down or bottom up,
// many of them whole on the screen. Some tiles repeat the one before at
// another place, as the tiles of a large installation do.
Installation patternedInstallation(std::mt19937& rng, bool straight) {
  Installation in;
  in.width = 1 + rng() % 48;
  in.height = 1 + rng() % 32;
  const ModuleType types[] = {TypeDelta, TypeQuadra, TypeQuadraV2, TypeVarna};
  in.coordinates[0].type = TypeRelay;
  const unsigned modules = 1 + rng() % 12;
  for (unsigned id = 1; id <= modules; ++id) {
    CoordinatesData& c = in.coordinates[id];
    c.valid = true;
    if (id > 1 && rng() % 3 == 0) {
      const CoordinatesData& before = in.coordinates[id - 1];
      c.type = before.type;
      const auto dx = static_cast<float>(static_cast<int>(rng() % 9) - 4);
      const auto dy = static_cast<float>(static_cast<int>(rng() % 5) - 2);
      // Or moved along the image's bytes: the same offsets apart, but rows
      // broken at other places.
      const unsigned along = rng() % 2 == 0 ? 0 : 1 + rng() % (in.width + 1);
      for (std::size_t k = 0; k < before.screenX.size(); ++k) {
        float x = before.screenX[k] + dx;
        float y = before.screenY[k] + dy;
        if (along != 0 && before.screenX[k] >= 0 && before.screenY[k] >= 0) {
          const unsigned at = static_cast<unsigned>(before.screenY[k]) * in.width +
                              static_cast<unsigned>(before.screenX[k]) + along;
          x = static_cast<float>(at % in.width) + 0.25f;
          y = static_cast<float>(at / in.width) + 0.75f;
        }
        c.screenX.push_back(x);
        c.screenY.push_back(y);
      }
      continue;
    }
    c.type = straight ? types[1 + rng() % 2] : types[rng() % 4];
    const unsigned leds = ledCount(c.type);
    const unsigned across = straight ? 10 : 1 + rng() % 20;
    const unsigned orientation = straight ? 2 * (rng() % 2) : rng() % 8;
    const bool serpentine = !straight && rng() % 4 == 0;
    const bool scattered = !straight && rng() % 6 == 0;
    const int x0 = static_cast<int>(rng() % (in.width + 6)) - 3;
    const int y0 = static_cast<int>(rng() % (in.height + 6)) - 3;
    for (unsigned k = 0; k < leds; ++k) {
      int u = static_cast<int>(k % across);
      const int v = static_cast<int>(k / across);
      if (serpentine && v % 2 == 1) u = static_cast<int>(across) - 1 - u;
      int x = orientation & 4 ? v : u;
      int y = orientation & 4 ? u : v;
      if (orientation & 1) x = -x;
      if (orientation & 2) y = -y;
      if (scattered) {
        x = static_cast<int>(rng() % (in.width + 2)) - 1;
        y = static_cast<int>(rng() % (in.height + 2)) - 1;
      }
      c.screenX.push_back(static_cast<float>(x0 + x) + 0.25f);
      c.screenY.push_back(static_cast<float>(y0 + y) + 0.75f);
    }
  }
  return in;
}

// Image lengths that cut the image at, or a few bytes around, the pixel of
// one LED that has one: the first, the last, or any LED of the mapping.
std::size_t cutNear(std::mt19937& rng, const Data& data, std::size_t full) {
  std::vector<std::uint32_t> sources;
  if (auto* video = dynamic_cast<const VideoData*>(&data)) {
    for (const auto& px : video->pixels()) sources.push_back(px.source);
    for (const auto& px : video->monoPixels()) sources.push_back(px.source);
  } else if (auto* rgb = dynamic_cast<const RGBData*>(&data)) {
    for (const auto& px : rgb->pixels()) sources.push_back(px.source);
  } else if (auto* mask = dynamic_cast<const MaskData*>(&data)) {
    for (const auto& px : mask->pixels()) sources.push_back(px.source);
  }
  if (sources.empty()) return rng() % (full + 1);
  std::uint32_t at = sources[rng() % sources.size()];
  if (rng() % 4 == 0) at = rng() % 2 ? sources.front() : sources.back();
  return std::min<std::size_t>(full, at + rng() % 6);
}

TEST(MappingOracleTest, PatternedTilesWriteTheSameBytesOnEveryKernel) {
  std::mt19937 rng(20261208);
  std::mt19937 curves(1208);
  for (int round = 0; round < 600; ++round) {
    SCOPED_TRACE(round);
    const Installation in = patternedInstallation(rng, round >= 400);
    const std::uint32_t frameLength = rng() % 3 == 0 ? 1 + rng() % 1500 : 918;
    for (int kind = 0; kind < 3; ++kind) {
      // The same mapping twice: one may take the vector kernels, the other
      // only the portable ones.
      std::unique_ptr<Data> fast;
      std::unique_ptr<Data> portable;
      if (kind == 0) {
        fast = std::make_unique<VideoData>();
        portable = std::make_unique<VideoData>();
      } else if (kind == 1) {
        fast = std::make_unique<RGBData>();
        portable = std::make_unique<RGBData>();
      } else {
        fast = std::make_unique<MaskData>();
        portable = std::make_unique<MaskData>();
      }
      fast->initFromTopologyData(in.coordinates, frameLength, in.width, in.height);
      portable->initFromTopologyData(in.coordinates, frameLength, in.width, in.height);
      const Correction correction = randomCorrection(curves);
      fast->setCorrection(correction);
      portable->setCorrection(correction);
      // A third of the rounds read the screen out of a wider picture.
      const std::uint32_t row = 4 * in.width;
      const std::uint32_t stride = rng() % 3 == 0 ? row + 4 * (1 + rng() % 5) : row;
      fast->setRowBytes(stride);
      portable->setRowBytes(stride);
      Bytes expected = framesOf(*fast);
      for (int frame = 0; frame < 4; ++frame) {
        const std::size_t full = 4u * in.width * in.height;
        const std::size_t length = frame == 0 ? full : cutNear(rng, *fast, full);
        const Bytes image = randomImage(rng, length);
        const auto format = rng() % 2 ? Data::BGR : Data::RGB;
        referenceUpdate(*fast, expected, image, static_cast<unsigned>(length), format);
        // The image's rows `stride` bytes apart, noise between them, cut
        // at the same pixel.
        Bytes wide = randomImage(rng, (length / row) * stride + length % row);
        for (std::size_t at = 0; at < length; ++at)
          wide[(at / row) * stride + at % row] = image[at];
        fast->update(wide.data(), static_cast<unsigned>(wide.size()), format);
        pixel::allowVectorKernels(false);
        portable->update(wide.data(), static_cast<unsigned>(wide.size()), format);
        pixel::allowVectorKernels(true);
        ASSERT_EQ(framesOf(*fast), expected) << "kind " << kind << ", image " << length;
        ASSERT_EQ(framesOf(*portable), expected) << "kind " << kind << ", image " << length;
      }
    }
  }
}

// One tile whose LEDs skip, skip + 1, ... read a single line of `n`
// pixels (along a row, along it backwards, or down a column), the others
// off the screen: row lengths around the kernels' group sizes, at several
// bit positions of the first LED, with the image cut at every other byte.
TEST(MappingOracleTest, EveryRowLengthAndCutMatchesOnEveryKernel) {
  std::mt19937 rng(7);
  std::mt19937 curves(8);
  const std::uint32_t lengths[] = {1, 2, 3, 7, 8, 9, 10, 11, 16, 17, 20, 24, 25, 33};
  for (const std::uint32_t n : lengths) {
    for (const std::uint32_t skip : {0u, 1u, 5u, 7u}) {
      for (int line = 0; line < 3; ++line) {
        SCOPED_TRACE(testing::Message() << "n " << n << ", skip " << skip << ", line " << line);
        Installation in;
        in.coordinates[0].type = TypeRelay;
        CoordinatesData& c = in.coordinates[1];
        c.type = TypeQuadra;
        c.valid = true;
        in.width = line == 2 ? 3 : n;
        in.height = line == 2 ? n : 2;
        for (std::uint32_t k = 0; k < ledCount(TypeQuadra); ++k) {
          const float at = static_cast<float>(line == 1 ? n + skip - 1 - k : k - skip);
          const bool on = k >= skip && k < skip + n;
          c.screenX.push_back(on ? (line == 2 ? 1.5f : at + 0.5f) : -1.0f);
          c.screenY.push_back(on ? (line == 2 ? at + 0.5f : 1.5f) : -1.0f);
        }
        const std::size_t full = 4u * in.width * in.height;
        std::unique_ptr<Data> mappings[] = {
            std::make_unique<VideoData>(), std::make_unique<RGBData>(),
            std::make_unique<MaskData>(),  std::make_unique<VideoData>(),
            std::make_unique<RGBData>(),   std::make_unique<MaskData>()};
        for (int m = 0; m < 6; ++m) {
          Data& data = *mappings[m];
          const bool vectors = m < 3;
          data.initFromTopologyData(in.coordinates, 918, in.width, in.height);
          data.setCorrection(randomCorrection(curves));
          Bytes expected = framesOf(data);
          for (std::size_t length = 0; length <= full; ++length) {
            // Cut images take turns with whole ones, so that the LEDs a cut
            // image does not reach hold values of their own.
            const std::size_t size = length % 2 ? full : length;
            const auto format = length % 4 < 2 ? Data::BGR : Data::RGB;
            const Bytes image = randomImage(rng, size);
            referenceUpdate(data, expected, image, static_cast<unsigned>(size), format);
            pixel::allowVectorKernels(vectors);
            data.update(image.data(), static_cast<unsigned>(size), format);
            pixel::allowVectorKernels(true);
            ASSERT_EQ(framesOf(data), expected)
                << "mapping " << m % 3 << (vectors ? "" : " (portable)") << ", image " << length;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace lc
