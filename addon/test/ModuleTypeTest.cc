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

}  // namespace
}  // namespace lc
