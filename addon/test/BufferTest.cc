#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "player/Buffer.h"
#include "player/MaskData.h"
#include "player/RGBData.h"
#include "player/VideoData.h"
#include "support/TopologyFixtures.h"

namespace lc {
namespace {

using test::join;
using test::relayWithTile;

// The first LED's red byte of module 1 in a video frame with 300-byte slots.
constexpr unsigned kFirstLed = 2 + 300;

std::vector<std::uint8_t> flat(std::uint8_t value) { return std::vector<std::uint8_t>(400, value); }

TEST(BufferTest, SetUpMakesThreeMappingsOfTheModesClass) {
  const Topology t = relayWithTile(TypeQuadra);
  struct Case {
    Buffer::Mode mode;
    bool (*isClass)(const Data*);
  };
  const Case cases[] = {
      {Buffer::MaskMode, [](const Data* d) { return dynamic_cast<const MaskData*>(d) != nullptr; }},
      {Buffer::RgbMode, [](const Data* d) { return dynamic_cast<const RGBData*>(d) != nullptr; }},
      {Buffer::VideoMode,
       [](const Data* d) { return dynamic_cast<const VideoData*>(d) != nullptr; }},
  };
  Buffer buffer;
  EXPECT_EQ(buffer.mapping(0), nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<unsigned>(c.mode));
    ASSERT_TRUE(buffer.initScreen(t, 0, c.mode, 918));
    for (unsigned slot = 0; slot < Buffer::kSlots; ++slot) {
      EXPECT_TRUE(c.isClass(buffer.mapping(slot)));
      EXPECT_EQ(buffer.mapping(slot)->frameCount(), 1u);
    }
    EXPECT_NE(buffer.mapping(0), buffer.mapping(1));
    EXPECT_EQ(buffer.width(), 10u);
    EXPECT_EQ(buffer.height(), 10u);
    EXPECT_EQ(buffer.frameLength(), 918u);
    EXPECT_EQ(buffer.writeSlot(), 1u);
    EXPECT_EQ(buffer.readSlot(), 0u);
    EXPECT_EQ(buffer.frameIndex(), 0u);
  }
  // Another value keeps the class but still rebuilds for the new frame length.
  ASSERT_TRUE(buffer.initScreen(t, 0, static_cast<Buffer::Mode>(7), 1500));
  EXPECT_NE(dynamic_cast<VideoData*>(buffer.mapping(2)), nullptr);
  EXPECT_EQ(buffer.mapping(2)->frameLength(), 1500u);
  // A length the frame header cannot carry is clamped alike in the buffer
  // and its mappings: the sender reads frameLength() bytes of a frame.
  ASSERT_TRUE(buffer.initScreen(t, 0, Buffer::VideoMode, 70000));
  EXPECT_EQ(buffer.frameLength(), buffer.mapping(0)->frameLength());
}

TEST(BufferTest, SetUpFailsWithoutARelayOrAMapping) {
  Buffer buffer;
  const Topology t = relayWithTile(TypeQuadra);
  EXPECT_FALSE(buffer.initScreen(t, 0, static_cast<Buffer::Mode>(3), 918));
  Topology noRelay;
  noRelay.newModule(TypeQuadra, 1);
  EXPECT_FALSE(buffer.initScreen(noRelay, 0, Buffer::VideoMode, 918));
  const auto img = flat(1);
  Buffer empty;
  EXPECT_FALSE(empty.addImage(img.data(), static_cast<unsigned>(img.size()), Data::RGB));
  EXPECT_EQ(empty.nextFrame(), nullptr);
}

TEST(BufferTest, FramesCycleAndTheSenderTakesHandedOverImages) {
  // Relay plus twelve tiles: five frames of 918 bytes.
  Topology t = relayWithTile(TypeQuadra);
  for (unsigned i = 2; i <= 12; ++i) join(t, i - 1, 1, i, 3, TypeQuadra);
  Buffer buffer;
  ASSERT_TRUE(buffer.initScreen(t, 0, Buffer::VideoMode, 918));
  ASSERT_EQ(buffer.frameCount(), 5u);
  std::vector<unsigned> numbers;
  for (int i = 0; i < 7; ++i) numbers.push_back(buffer.nextFrame()[0]);
  EXPECT_EQ(numbers, (std::vector<unsigned>{2, 3, 4, 5, 1, 2, 3}));
  EXPECT_EQ(buffer.readSlot(), 0u);
}

TEST(BufferTest, AnImageNotYetSentIsOverwrittenByTheNext) {
  const Topology t = relayWithTile(TypeQuadra);  // one frame: every frame ends a cycle
  Buffer buffer;
  ASSERT_TRUE(buffer.initScreen(t, 0, Buffer::VideoMode, 918));
  const auto p1 = flat(1), p2 = flat(2), p3 = flat(3);
  const auto add = [&](const std::vector<std::uint8_t>& img) {
    return buffer.addImage(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
  };
  ASSERT_TRUE(add(p1));
  ASSERT_TRUE(add(p2));  // the next slot is being sent: P2 stays in the write slot
  EXPECT_EQ(buffer.writeSlot(), 2u);
  EXPECT_EQ(buffer.nextFrame()[kFirstLed], 1);
  ASSERT_TRUE(add(p3));  // P3 overwrites P2 before the sender came for it
  EXPECT_EQ(buffer.overwritten(), 1u);
  EXPECT_EQ(buffer.nextFrame()[kFirstLed], 3);
  // Without a third image the kept one is taken at the next cycle end: the
  // last image of a quick pair is shown too.
  ASSERT_TRUE(add(p1));
  ASSERT_TRUE(add(p2));
  EXPECT_EQ(buffer.nextFrame()[kFirstLed], 1);
  EXPECT_EQ(buffer.nextFrame()[kFirstLed], 2);
  EXPECT_EQ(buffer.nextFrame()[kFirstLed], 2);  // nothing new
  EXPECT_EQ(buffer.overwritten(), 1u);
  EXPECT_NE(buffer.readSlot(), buffer.writeSlot());
}

TEST(BufferTest, SenderNeverSeesAHalfWrittenImage) {
  Topology t = relayWithTile(TypeQuadra);
  join(t, 1, 1, 2, 3, TypeQuadra);
  Buffer buffer;
  ASSERT_TRUE(buffer.initScreen(t, 0, Buffer::VideoMode, 918));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::vector<std::uint8_t> img(4u * buffer.width() * buffer.height());
    for (unsigned n = 1; n <= 3000; ++n) {
      std::fill(img.begin(), img.end(), static_cast<std::uint8_t>(n));
      buffer.addImage(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
    }
    done = true;
  });
  unsigned torn = 0;
  while (!done) {
    const std::uint8_t* f = buffer.nextFrame();
    for (unsigned b = kFirstLed; b < kFirstLed + 600; ++b) torn += f[b] != f[kFirstLed];
  }
  writer.join();
  EXPECT_EQ(torn, 0u);
}

}  // namespace
}  // namespace lc

namespace lc {
namespace {

TEST(BufferTest, ImagesRacingTheSenderArriveWholeInOrderAndTheLastIsShown) {
  // One frame per picture: every frame ends a cycle, so the sender takes
  // handed-over and kept images as often as it can.
  const Topology t = test::relayWithTile(TypeQuadra);
  Buffer buffer;
  ASSERT_TRUE(buffer.initScreen(t, 0, Buffer::VideoMode, 918));
  constexpr unsigned kImages = 20000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::vector<std::uint8_t> img(400);
    for (unsigned n = 1; n <= kImages; ++n) {
      // Every pixel says n: red the low byte, green the high byte.
      for (std::size_t p = 0; p < img.size(); p += 4) {
        img[p] = static_cast<std::uint8_t>(n);
        img[p + 1] = static_cast<std::uint8_t>(n >> 8);
      }
      buffer.addImage(img.data(), static_cast<unsigned>(img.size()), Data::RGB);
    }
    done = true;
  });
  const auto shown = [](const std::uint8_t* f) { return f[kFirstLed] | (f[kFirstLed + 1] << 8); };
  unsigned last = 0, torn = 0, backwards = 0;
  while (!done) {
    const std::uint8_t* f = buffer.nextFrame();
    const unsigned n = shown(f);
    for (unsigned led = 0; led < 100; ++led) {
      torn += (f[kFirstLed + 3 * led] | (f[kFirstLed + 3 * led + 1] << 8)) != n;
    }
    backwards += n < last;
    last = n;
  }
  writer.join();
  EXPECT_EQ(torn, 0u);
  EXPECT_EQ(backwards, 0u);
  // Within two cycles the newest image is on its way, whatever the race left.
  buffer.nextFrame();
  EXPECT_EQ(shown(buffer.nextFrame()), kImages);
}

}  // namespace
}  // namespace lc
