#include <gtest/gtest.h>

#include "topology/ModuleType.h"

namespace lc {
namespace {

TEST(ModuleTypeTest, TagsRoundTripInTableOrder) {
  const char* tags[] = {"relay", "oldrelay", "relayrpi", "delta", "quadra", "quadrav2", "varna"};
  for (unsigned id = 0; id < kModuleTypeCount; ++id) {
    EXPECT_EQ(typeFromTag(tags[id]), id);
    EXPECT_STREQ(tagFromType(static_cast<ModuleType>(id)), tags[id]);
  }
}

TEST(ModuleTypeTest, OtherTagsAreUnknownWithoutChannels) {
  for (const char* tag : {"Relay", "", "QUADRA", "delta ", "tile"}) {
    EXPECT_EQ(typeFromTag(tag), TypeUnknown) << tag;
  }
  EXPECT_EQ(channelCount(TypeUnknown), 0u);
  EXPECT_EQ(channelCount(7), 0u);
  EXPECT_EQ(rotationCount(TypeUnknown), 0u);
  EXPECT_STREQ(tagFromType(TypeUnknown), "");
}

TEST(ModuleTypeTest, PerTypeCounts) {
  struct Row {
    ModuleType type;
    unsigned channels, orientations, rotations;
    int offset;
    unsigned leds, sensors;
  };
  const Row rows[] = {
      {TypeRelay, 1, 1, 1, 0, 0, 0},     {TypeOldRelay, 1, 1, 1, 0, 0, 0},
      {TypeRelayRpi, 1, 1, 1, 0, 0, 0},  {TypeDelta, 6, 2, 3, 0, 31, 4},
      {TypeQuadra, 4, 1, 4, -2, 100, 0}, {TypeQuadraV2, 4, 1, 4, -2, 100, 4},
      {TypeVarna, 4, 1, 4, -2, 4, 6},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(tagFromType(r.type));
    EXPECT_EQ(channelCount(r.type), r.channels);
    EXPECT_EQ(orientationCount(r.type), r.orientations);
    EXPECT_EQ(rotationCount(r.type), r.rotations);
    EXPECT_EQ(rotationOffset(r.type), r.offset);
    EXPECT_EQ(ledCount(r.type), r.leds);
    EXPECT_EQ(sensorCount(r.type), r.sensors);
    EXPECT_EQ(isRelay(r.type), r.type <= 2);
    EXPECT_EQ(isTile(r.type), r.type >= 3);
  }
}

TEST(ModuleTypeTest, PixelSlotsAndLoaderCodes) {
  struct Row {
    ModuleType type;
    PixelSlots slots;
    std::uint16_t code;
  };
  const Row rows[] = {
      {TypeRelay, {0, 0, 0, 0}, 0x002A},      {TypeOldRelay, {0, 0, 0, 0}, 0x002A},
      {TypeRelayRpi, {0, 0, 0, 0}, 0x002B},   {TypeDelta, {93, 3, 12, 4}, 0x2013},
      {TypeQuadra, {300, 3, 39, 13}, 0x2013}, {TypeQuadraV2, {300, 3, 39, 13}, 0x2013},
      {TypeVarna, {4, 1, 3, 1}, 0x2013},      {TypeUnknown, {0, 0, 0, 0}, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(static_cast<unsigned>(r.type));
    const PixelSlots s = pixelSlots(r.type);
    EXPECT_EQ(s.video, r.slots.video);
    EXPECT_EQ(s.videoBytesPerLed, r.slots.videoBytesPerLed);
    EXPECT_EQ(s.rgb, r.slots.rgb);
    EXPECT_EQ(s.mask, r.slots.mask);
    EXPECT_EQ(loaderCode(r.type), r.code);
  }
}

// What a new row must satisfy for the mappings and visitors to stay inside
// their slots and tables.
TEST(ModuleTypeTest, EveryRowIsConsistent) {
  for (unsigned id = 0; id < kModuleTypeCount; ++id) {
    const ModuleType type = static_cast<ModuleType>(id);
    SCOPED_TRACE(tagFromType(type));
    const ModuleTypeInfo& info = *moduleTypeInfo(type);
    const TileTables& shape = info.shape;
    EXPECT_EQ(shape.type, type);
    EXPECT_LE(shape.channelCount, kMaxChannels);
    EXPECT_NE(shape.rotateChannel, nullptr);
    EXPECT_EQ(isRelay(type), !isTile(type));
    EXPECT_EQ(tileTables(type) != nullptr, isTile(type));
    if (!isTile(type)) {
      EXPECT_EQ(shape.ledCount, 0u);
      EXPECT_EQ(info.sensorCount, 0u);
      continue;
    }
    EXPECT_NE(shape.channelsX, nullptr);
    EXPECT_NE(shape.ledsX, nullptr);
    EXPECT_NE(shape.rotateLed, nullptr);
    EXPECT_NE(shape.orientations, nullptr);
    EXPECT_GE(info.rotationCount, 1u);
    EXPECT_GE(info.orientationCount, 1u);
    EXPECT_LE(shape.sensorTableCount, info.sensorCount);
    EXPECT_EQ(shape.sensorsX != nullptr, shape.sensorTableCount != 0);
    const PixelSlots& s = info.slots;
    EXPECT_TRUE(s.videoBytesPerLed == 1 || s.videoBytesPerLed == 3);
    EXPECT_GE(s.video, s.videoBytesPerLed * shape.ledCount);
    EXPECT_GE(8 * s.rgb, 3 * shape.ledCount);
    EXPECT_EQ(s.mask, (shape.ledCount + 7) / 8);
  }
  EXPECT_EQ(moduleTypeInfo(TypeUnknown), nullptr);
  EXPECT_FALSE(isRelay(TypeUnknown));
  EXPECT_FALSE(isTile(TypeUnknown));
}

}  // namespace
}  // namespace lc
