#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include "player/MaskData.h"
#include "player/RGBData.h"
#include "player/VideoData.h"
#include "support/ScreenFixtures.h"
#include "support/TopologyFixtures.h"

namespace lc {
namespace {

using test::gridTile;
using test::join;
using test::relayWithTile;
using test::screenOf;

using Rgba = std::array<std::uint8_t, 4>;

// A width x height image of 4-byte pixels whose colour is `colour(col, row)`.
std::vector<std::uint8_t> image(std::uint32_t width, std::uint32_t height,
                                const std::function<Rgba(unsigned, unsigned)>& colour) {
  std::vector<std::uint8_t> bytes(4u * width * height);
  for (unsigned row = 0; row < height; ++row) {
    for (unsigned col = 0; col < width; ++col) {
      const Rgba c = colour(col, row);
      std::copy(c.begin(), c.end(), bytes.begin() + 4 * (col + row * width));
    }
  }
  return bytes;
}

std::vector<std::uint8_t> filled(std::uint32_t width, std::uint32_t height, Rgba c) {
  return image(width, height, [c](unsigned, unsigned) { return c; });
}

// Relay plus `tiles` square tiles in a row, each joined on the previous
// one's +x side: tile i covers columns 10 (i - 1) to 10 (i - 1) + 9.
Topology squareRow(unsigned tiles) {
  Topology t;
  t.newModule(TypeRelay, 0);
  join(t, 0, 0, 1, 0, TypeQuadra);
  for (unsigned i = 2; i <= tiles; ++i) join(t, i - 1, 1, i, 3, TypeQuadra);
  return t;
}

std::uint16_t frameNumber(const Data& data, std::size_t q) {
  return static_cast<std::uint16_t>(data.frame(q)[0] | (data.frame(q)[1] << 8));
}

TEST(DataTest, RelayAndOneSquareTileFillOneVideoFrame) {
  const test::Screen screen = screenOf(relayWithTile(TypeQuadra));
  VideoData video;
  video.initFromTopologyData(screen.coordinates, 918, screen.width, screen.height);
  EXPECT_EQ(video.slotSize(), 300u);
  EXPECT_EQ(video.modulesPerFrame(), 3u);
  ASSERT_EQ(video.frameCount(), 1u);
  EXPECT_EQ(video.pixels().size(), 100u);

  const auto img = image(10, 10, [](unsigned col, unsigned row) {
    return Rgba{static_cast<std::uint8_t>(col + 1), static_cast<std::uint8_t>(row + 1),
                static_cast<std::uint8_t>(row * 10 + col + 1), 0};
  });
  video.update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);

  const std::uint8_t* f = video.frame(0);
  EXPECT_EQ(frameNumber(video, 0), 1);
  for (unsigned b = 2; b < 302; ++b) ASSERT_EQ(f[b], 0) << "relay slot byte " << b;
  for (unsigned k = 0; k < 100; ++k) {
    const std::uint8_t* led = f + 302 + 3 * k;
    EXPECT_EQ(led[0], k % 10 + 1);
    EXPECT_EQ(led[1], k / 10 + 1);
    EXPECT_EQ(led[2], k + 1);
  }
  for (unsigned b = 602; b < 918; ++b) ASSERT_EQ(f[b], 0) << "byte " << b;
}

TEST(DataTest, TwelveSquareTilesTakeFiveNumberedFrames) {
  const test::Screen screen = screenOf(squareRow(12));
  ASSERT_EQ(screen.width, 120u);
  VideoData video;
  video.initFromTopologyData(screen.coordinates, 918, screen.width, screen.height);
  ASSERT_EQ(video.frameCount(), 5u);
  for (std::size_t q = 0; q < 5; ++q) EXPECT_EQ(frameNumber(video, q), q + 1);

  // Red is the column, so each tile's first LED shows where the tile lies.
  const auto img = image(screen.width, screen.height, [](unsigned col, unsigned) {
    return Rgba{static_cast<std::uint8_t>(col), 0, 1, 0};
  });
  video.update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
  // Module 7 = slot 1 of frame 3.
  const std::uint8_t* slot = video.frame(2) + 2 + 300;
  EXPECT_EQ(slot[0], 60);
  EXPECT_EQ(slot[3 * 9], 69);
  // The last frame has module 12 in slot 0 and nothing after it.
  EXPECT_EQ(video.frame(4)[2], 110);
  EXPECT_EQ(video.frame(4)[2 + 300 + 2], 0);
}

TEST(DataTest, BitsOfMaskAndRgbLandInTheirSlotBytes) {
  const test::Screen screen = screenOf(relayWithTile(TypeQuadra));
  // Only the pixel of one LED is lit.
  const auto lit = [&](unsigned led, Rgba c) {
    return image(10, 10, [=](unsigned col, unsigned row) {
      return col + 10 * row == led ? c : Rgba{0, 0, 0, 0};
    });
  };

  MaskData mask;
  mask.initFromTopologyData(screen.coordinates, 918, screen.width, screen.height);
  EXPECT_EQ(mask.slotSize(), 13u);
  auto img = lit(9, {0, 0, 1, 0});
  mask.update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
  const std::uint8_t* slot = mask.frame(0) + 2 + 13;
  for (unsigned b = 0; b < 13; ++b) EXPECT_EQ(slot[b], b == 1 ? 0x02 : 0) << b;

  RGBData rgb;
  rgb.initFromTopologyData(screen.coordinates, 918, screen.width, screen.height);
  EXPECT_EQ(rgb.slotSize(), 39u);
  struct Case {
    Rgba colour;
    std::uint8_t byte1;
  };
  for (const Case& c : {Case{{1, 0, 0, 0}, 0x02}, Case{{0, 7, 0, 0}, 0x04},
                        Case{{0, 0, 255, 0}, 0x08}, Case{{1, 1, 1, 0}, 0x0e}}) {
    img = lit(3, c.colour);
    rgb.update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
    slot = rgb.frame(0) + 2 + 39;
    for (unsigned b = 0; b < 39; ++b) EXPECT_EQ(slot[b], b == 1 ? c.byte1 : 0) << b;
  }
}

TEST(DataTest, BgrSwapsRedAndBlueButNotTheMask) {
  const test::Screen screen = screenOf(relayWithTile(TypeQuadra));
  const auto img = filled(10, 10, {10, 20, 30, 255});
  VideoData video;
  video.initFromTopologyData(screen.coordinates, 918, screen.width, screen.height);
  video.update(img.data(), static_cast<unsigned>(img.size()), Data::BGR);
  const std::uint8_t* led = video.frame(0) + 302;
  EXPECT_EQ(led[0], 30);
  EXPECT_EQ(led[1], 20);
  EXPECT_EQ(led[2], 10);

  RGBData rgb;
  rgb.initFromTopologyData(screen.coordinates, 918, screen.width, screen.height);
  const auto blue = filled(10, 10, {0, 0, 5, 0});
  rgb.update(blue.data(), static_cast<unsigned>(blue.size()), Data::BGR);
  // Slot byte 0 holds LEDs 0 to 2 (bits 0-2, 3-5, 6-7): blue read as red.
  EXPECT_EQ(rgb.frame(0)[2 + 39], 0x49);
  rgb.update(blue.data(), static_cast<unsigned>(blue.size()), Data::RGB);
  EXPECT_EQ(rgb.frame(0)[2 + 39], 0x24);
}

TEST(DataTest, ZeroPixelsClearBitsAndShortImagesLeaveLedsAlone) {
  const test::Screen screen = screenOf(relayWithTile(TypeQuadra));
  const auto white = filled(10, 10, {255, 255, 255, 0});
  const auto black = filled(10, 10, {0, 0, 0, 255});
  std::unique_ptr<Data> mappings[] = {std::make_unique<MaskData>(), std::make_unique<RGBData>()};
  for (auto& data : mappings) {
    data->initFromTopologyData(screen.coordinates, 918, screen.width, screen.height);
    data->update(white.data(), static_cast<unsigned>(white.size()), Data::RGB);
    const std::uint8_t* slot = data->frame(0) + 2 + data->slotSize();
    EXPECT_EQ(slot[0], 0xff);
    data->update(black.data(), static_cast<unsigned>(black.size()), Data::RGB);
    for (unsigned b = 0; b < data->slotSize(); ++b) ASSERT_EQ(slot[b], 0) << b;
    // 22 bytes reach LEDs 0 to 4 only: their bits clear, LED 5's stay set.
    data->update(white.data(), static_cast<unsigned>(white.size()), Data::RGB);
    data->update(black.data(), 22, Data::RGB);
    const bool isMask = dynamic_cast<MaskData*>(data.get()) != nullptr;
    EXPECT_EQ(slot[0], isMask ? 0xe0 : 0x00);
    EXPECT_EQ(slot[1], isMask ? 0xff : 0x80);
  }

  // LED 5's pixel starts at byte 20: an image of 22 bytes lacks its blue.
  VideoData video;
  video.initFromTopologyData(screen.coordinates, 918, screen.width, screen.height);
  const auto grey = filled(10, 10, {7, 7, 7, 7});
  const auto nine = filled(10, 10, {9, 9, 9, 9});
  video.update(grey.data(), static_cast<unsigned>(grey.size()), Data::RGB);
  video.update(nine.data(), 22, Data::RGB);
  const std::uint8_t* slot = video.frame(0) + 302;
  EXPECT_EQ(slot[3 * 4 + 2], 9);
  EXPECT_EQ(slot[3 * 5], 7);
  EXPECT_EQ(slot[3 * 99], 7);
  video.update(nine.data(), 23, Data::RGB);
  EXPECT_EQ(slot[3 * 5 + 2], 9);
}

TEST(DataTest, MixedTilesShareTheLargestSlot) {
  TopologyData<CoordinatesData> c;
  c[0];  // the relay: no positions
  c[1] = gridTile(TypeDelta, 0, 0, 31);
  c[2] = gridTile(TypeQuadra, 0, 0, 100);
  RGBData rgb;
  rgb.initFromTopologyData(c, 918, 10, 10);
  EXPECT_EQ(rgb.slotSize(), 39u);
  EXPECT_EQ(rgb.modulesPerFrame(), 23u);
  // The delta's first LED is bit 0 of slot 1, 39 bytes after slot 0.
  ASSERT_FALSE(rgb.pixels().empty());
  EXPECT_EQ(rgb.pixels().front().targetR, 2u + 39u);
}

TEST(DataTest, FramesTooShortForASlotGetNoPixels) {
  const test::Screen screen = screenOf(relayWithTile(TypeQuadra));
  struct Case {
    std::uint32_t frameLength;
    bool numbered;
    bool pixels;
    std::size_t frames;
  };
  // Video slots of a square tile are 300 bytes.
  for (const Case& c : {Case{0, false, false, 1}, Case{1, false, false, 1}, Case{2, true, false, 1},
                        Case{301, true, false, 1}, Case{302, true, true, 2}}) {
    SCOPED_TRACE(c.frameLength);
    VideoData video;
    video.initFromTopologyData(screen.coordinates, c.frameLength, screen.width, screen.height);
    ASSERT_EQ(video.frameCount(), c.frames);
    EXPECT_EQ(video.frameLength(), c.frameLength);
    EXPECT_EQ(video.pixels().empty(), !c.pixels);
    if (c.numbered) {
      EXPECT_EQ(frameNumber(video, 0), 1);
    }
    if (c.frameLength == 1) {
      EXPECT_EQ(video.frame(0)[0], 0);
    }
    const auto img = filled(10, 10, {1, 2, 3, 4});
    video.update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
  }
}

TEST(DataTest, VarnaLedsTakeOneByteEachInVideo) {
  TopologyData<CoordinatesData> c;
  c[0];
  c[1] = gridTile(TypeVarna, 0, 0, 4);
  c[2] = gridTile(TypeVarna, 4, 0, 4);
  const auto img = image(8, 1, [](unsigned col, unsigned) {
    return Rgba{static_cast<std::uint8_t>(col), static_cast<std::uint8_t>(20 + col), 3, 99};
  });
  VideoData video;
  // Exactly three 4-byte slots: the last LED's byte is the frame's last one.
  video.initFromTopologyData(c, 2 + 3 * 4, 8, 1);
  EXPECT_EQ(video.slotSize(), 4u);
  EXPECT_EQ(video.monoPixels().size(), 8u);
  EXPECT_TRUE(video.pixels().empty());
  video.update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
  const std::uint8_t* f = video.frame(0);
  const std::uint8_t want[] = {1, 0, 0, 0, 0, 0, 20, 21, 22, 23, 24, 25, 26, 27};
  for (unsigned b = 0; b < sizeof want; ++b) EXPECT_EQ(f[b], want[b]) << b;

  // Beside a square tile the slot is larger, but a varna LED stays one byte.
  c[3] = gridTile(TypeQuadra, 0, 0, 100);
  video.initFromTopologyData(c, 918, 10, 10);
  EXPECT_EQ(video.slotSize(), 300u);
  EXPECT_EQ(video.monoPixels()[1].target, 2u + 300u + 1u);
}

TEST(DataTest, EveryRecordStaysInItsOwnFrameAcrossRebuilds) {
  const test::Screen big = screenOf(squareRow(40));
  const test::Screen small = screenOf(relayWithTile(TypeQuadra));
  std::unique_ptr<Data> mappings[] = {std::make_unique<VideoData>(), std::make_unique<RGBData>(),
                                      std::make_unique<MaskData>()};
  std::vector<std::uint32_t> targets;
  const auto collect = [&](const Data& data) {
    targets.clear();
    if (auto* v = dynamic_cast<const VideoData*>(&data)) {
      for (auto& p : v->pixels()) targets.insert(targets.end(), {p.target, p.target + 2});
    } else if (auto* r = dynamic_cast<const RGBData*>(&data)) {
      for (auto& p : r->pixels()) targets.insert(targets.end(), {p.targetR, p.targetB});
    } else if (auto* m = dynamic_cast<const MaskData*>(&data)) {
      for (auto& p : m->pixels()) targets.push_back(p.target);
    }
  };
  for (auto& data : mappings) {
    for (std::uint32_t frameLength : {918u, 1500u, 305u, 64u}) {
      for (const test::Screen* screen : {&big, &small}) {
        data->initFromTopologyData(screen->coordinates, frameLength, screen->width, screen->height);
        collect(*data);
        const std::uint32_t used = 2 + data->modulesPerFrame() * data->slotSize();
        for (std::uint32_t t : targets) {
          const std::uint32_t q = t / frameLength;
          ASSERT_LT(q, data->frameCount());
          ASSERT_GE(t % frameLength, 2u);
          ASSERT_LT(t % frameLength, used);
        }
        const auto img = filled(screen->width, screen->height, {1, 1, 1, 1});
        data->update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
      }
    }
  }
}

// A player's slots are copies sharing one table: rebuilding one for another
// installation must leave the others writing the pictures they were made for.
TEST(DataTest, ACopyKeepsItsTableWhenTheOriginalIsRebuilt) {
  const test::Screen big = screenOf(squareRow(3));
  const test::Screen small = screenOf(relayWithTile(TypeQuadra));
  std::unique_ptr<Data> mappings[] = {std::make_unique<VideoData>(), std::make_unique<RGBData>(),
                                      std::make_unique<MaskData>()};
  for (auto& data : mappings) {
    data->initFromTopologyData(big.coordinates, 918, big.width, big.height);
    const std::unique_ptr<Data> copy = data->clone();
    std::unique_ptr<Data> fresh = data->clone();
    fresh->initFromTopologyData(big.coordinates, 918, big.width, big.height);
    data->initFromTopologyData(small.coordinates, 918, small.width, small.height);
    const auto img = image(big.width, big.height, [](unsigned col, unsigned row) {
      return Rgba{static_cast<std::uint8_t>(col * 7), static_cast<std::uint8_t>(row * 5), 0, 0};
    });
    copy->update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
    fresh->update(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
    ASSERT_EQ(copy->frameCount(), fresh->frameCount());
    EXPECT_TRUE(
        std::equal(copy->frame(0), copy->frame(0) + copy->frameCount() * 918, fresh->frame(0)));
  }
}

TEST(DataTest, LedsOffTheScreenOrPastTheTypeGetNoRecord) {
  TopologyData<CoordinatesData> c;
  c[0];
  c[1] = gridTile(TypeQuadra, -1, 0, 100);  // column -1 and 0..8
  c[2] = gridTile(TypeVarna, 0, 0, 6);      // two positions more than LEDs
  c[3] = gridTile(TypeVarna, 0, 0, 4);
  c[3].valid = false;
  MaskData mask;
  mask.initFromTopologyData(c, 918, 9, 10);
  // Tile 1 loses its first column; tile 2 keeps four LEDs; tile 3 none.
  EXPECT_EQ(mask.pixels().size(), 90u + 4u);
}

}  // namespace
}  // namespace lc
