#include <gtest/gtest.h>

#include <set>

#include "topology/ConfigGeometry.h"
#include "topology/ConfigRotation.h"
#include "topology/TileTables.h"

namespace lc {
namespace {

struct Table {
  const char* name;
  TileTables::Op op;
  unsigned length;
  unsigned period;
};

const Table kRotations[] = {
    {"delta channels", &ConfigRotationDelta::channels, 6, 3},
    {"delta leds", &ConfigRotationDelta::leds, 31, 3},
    {"delta sensors", &ConfigRotationDelta::sensors, 4, 3},
    {"quadra channels", &ConfigRotationQuadra::channels, 4, 4},
    {"quadra leds", &ConfigRotationQuadra::leds, 100, 4},
    {"quadrav2 channels", &ConfigRotationQuadraV2::channels, 4, 4},
    {"quadrav2 leds", &ConfigRotationQuadraV2::leds, 100, 4},
    {"quadrav2 sensors", &ConfigRotationQuadraV2::sensors, 4, 4},
    {"varna channels", &ConfigRotationVarna::channels, 4, 4},
    {"varna leds", &ConfigRotationVarna::leds, 4, 4},
    {"varna sensors", &ConfigRotationVarna::sensors, 5, 4},
};

TEST(ConfigTablesTest, RotationsArePermutationsThatCloseAfterAFullTurn) {
  for (const Table& t : kRotations) {
    SCOPED_TRACE(t.name);
    std::set<int> images;
    for (std::uint32_t i = 0; i < t.length; ++i) {
      std::uint32_t turned = 0;
      ASSERT_TRUE(rotateIndex(t.op, t.length, i, t.period, turned));
      EXPECT_EQ(turned, i);
      images.insert(t.op(i));
    }
    EXPECT_EQ(images.size(), t.length);
  }
}

TEST(ConfigTablesTest, KnownEntries) {
  EXPECT_EQ(ConfigRotationQuadra::leds(0), 90);
  EXPECT_EQ(ConfigRotationQuadra::leds(1), 80);
  EXPECT_EQ(ConfigRotationQuadra::leds(10), 91);
  EXPECT_EQ(ConfigRotationQuadra::leds(99), 9);
  EXPECT_EQ(ConfigRotationDelta::leds(0), 8);
  EXPECT_EQ(ConfigRotationDelta::leds(30), 25);
  EXPECT_EQ(ConfigRotationDelta::orientations(0), 1);
  EXPECT_EQ(ConfigRotationDelta::orientations(1), -1);
  EXPECT_EQ(ConfigRotationRelay::channels(0), 0);
  EXPECT_EQ(ConfigGeometryQuadra::ledsX(0), -9);
  EXPECT_EQ(ConfigGeometryQuadra::ledsY(0), -9);
  EXPECT_EQ(ConfigGeometryQuadra::ledsX(99), 9);
  EXPECT_EQ(ConfigGeometryQuadra::ledsY(90), 9);
  EXPECT_EQ(ConfigGeometryDelta::ledsX(30), -2);
  EXPECT_EQ(ConfigGeometryDelta::ledsY(30), 2);
}

// Turning a square tile maps (X, Y) to (Y, -X); each rotation table names the
// element found at the turned position.
TEST(ConfigTablesTest, SquareRotationsFollowTheirPositions) {
  for (ModuleType type : {TypeQuadra, TypeQuadraV2, TypeVarna}) {
    const TileTables& t = *tileTables(type);
    SCOPED_TRACE(tagFromType(type));
    for (std::uint32_t i = 0; i < t.channelCount; ++i) {
      int j = t.rotateChannel(i);
      EXPECT_EQ(t.channelsX(j), t.channelsY(i));
      EXPECT_EQ(t.channelsY(j), -t.channelsX(i));
    }
    if (type == TypeVarna) continue;  // its LED and sensor orders are cyclic, not positional
    for (std::uint32_t i = 0; i < t.ledCount; ++i) {
      int j = t.rotateLed(i);
      EXPECT_EQ(t.ledsX(j), t.ledsY(i)) << i;
      EXPECT_EQ(t.ledsY(j), -t.ledsX(i)) << i;
    }
    for (std::uint32_t i = 0; i < t.sensorTableCount; ++i) {
      int j = t.rotateSensor(i);
      EXPECT_EQ(t.sensorsX(j), t.sensorsY(i));
      EXPECT_EQ(t.sensorsY(j), -t.sensorsX(i));
    }
  }
}

TEST(ConfigTablesTest, BothSquareModelsShareTheirShape) {
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ConfigGeometryQuadra::channelsX(i), ConfigGeometryQuadraV2::channelsX(i));
    EXPECT_EQ(ConfigGeometryQuadra::channelsY(i), ConfigGeometryQuadraV2::channelsY(i));
  }
  for (std::uint32_t i = 0; i < 100; ++i) {
    EXPECT_EQ(ConfigGeometryQuadra::ledsX(i), ConfigGeometryQuadraV2::ledsX(i));
    EXPECT_EQ(ConfigGeometryQuadra::ledsY(i), ConfigGeometryQuadraV2::ledsY(i));
  }
  EXPECT_EQ(tileTables(TypeQuadra)->sensorTableCount, 0u);
  EXPECT_EQ(tileTables(TypeQuadra)->sensorsX, nullptr);
  EXPECT_EQ(tileTables(TypeQuadraV2)->sensorTableCount, 4u);
}

TEST(ConfigTablesTest, LookupsStayInsideTheirTables) {
  EXPECT_EQ(tileTables(TypeRelay), nullptr);
  EXPECT_EQ(tileTables(TypeUnknown), nullptr);
  EXPECT_NE(channelRotation(TypeOldRelay), nullptr);
  EXPECT_EQ(channelRotation(TypeUnknown), nullptr);

  std::uint32_t out = 77;
  EXPECT_FALSE(absoluteChannel(TypeQuadra, 4, 1, out));  // one past the last channel
  EXPECT_FALSE(absoluteChannel(TypeUnknown, 0, 0, out));
  EXPECT_FALSE(absoluteChannel(TypeRelay, 1, 0, out));
  EXPECT_EQ(out, 77u);
  EXPECT_TRUE(absoluteChannel(TypeDelta, 5, 2, out));
  EXPECT_EQ(out, 3u);
  EXPECT_TRUE(absoluteChannel(TypeRelay, 0, 3, out));
  EXPECT_EQ(out, 0u);

  EXPECT_EQ(orientationSign(TypeDelta, 1), -1);
  EXPECT_EQ(orientationSign(TypeDelta, 2), 1);
  EXPECT_EQ(orientationSign(TypeUnknown, 1), 1);
  for (ModuleType type : {TypeDelta, TypeQuadra, TypeQuadraV2, TypeVarna}) {
    EXPECT_EQ(tileTables(type)->ledCount, ledCount(type));
    EXPECT_EQ(tileTables(type)->channelCount, channelCount(type));
    EXPECT_LE(tileTables(type)->sensorTableCount, sensorCount(type));
  }
}

}  // namespace
}  // namespace lc
