#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support/TopologyFixtures.h"
#include "topology/ConfigRotation.h"
#include "topology/CoordinatesVisitor.h"
#include "topology/TileTables.h"
#include "topology/Topology.h"
#include "topology/TranslateVisitor.h"

namespace lc {
namespace {

using test::join;
using test::relayWithTile;

struct Placed {
  TopologyData<CoordinatesData> coordinates;
  TopologyData<OrientedData> oriented;
  float minX = 0, minY = 0, maxX = 0, maxY = 0;
  std::uint32_t width = 0, height = 0;
};

Placed place(const Topology& topology, std::uint32_t angle) {
  Placed p;
  CoordinatesVisitor visitor(p.coordinates, p.oriented, angle);
  topology.visitAll(visitor, 0);
  p.minX = visitor.minX();
  p.minY = visitor.minY();
  p.maxX = visitor.maxX();
  p.maxY = visitor.maxY();
  p.width = visitor.screenWidth();
  p.height = visitor.screenHeight();
  return p;
}

TEST(CoordinatesVisitorTest, RelayAloneHasNoTileAndAOnePixelScreen) {
  Topology t;
  t.newModule(TypeRelay, 0);
  Placed p = place(t, 0);
  ASSERT_NE(p.coordinates.find(0), nullptr);
  EXPECT_FALSE(p.coordinates.find(0)->valid);
  EXPECT_TRUE(p.coordinates.find(0)->ledX.empty());
  EXPECT_EQ(p.width, 1u);
  EXPECT_EQ(p.height, 1u);
}

TEST(CoordinatesVisitorTest, SingleSquareTileFillsATenByTenScreen) {
  Topology t = relayWithTile(TypeQuadra);
  Placed p = place(t, 0);
  const CoordinatesData& tile = *p.coordinates.find(1);
  EXPECT_TRUE(tile.valid);
  EXPECT_EQ(tile.type, TypeQuadra);
  ASSERT_EQ(tile.ledX.size(), 100u);
  EXPECT_TRUE(tile.sensorX.empty());
  for (std::uint32_t i = 0; i < 100; ++i) {
    EXPECT_FLOAT_EQ(tile.ledX[i], static_cast<float>(i % 10) - 4.5f);
    EXPECT_FLOAT_EQ(tile.ledY[i], static_cast<float>(i / 10) - 4.5f);
  }
  EXPECT_FLOAT_EQ(p.minX, -4.5f);
  EXPECT_FLOAT_EQ(p.maxY, 4.5f);
  EXPECT_EQ(p.width, 10u);
  EXPECT_EQ(p.height, 10u);

  TranslateVisitor translate(p.coordinates, -p.minX, -p.minY);
  t.visitLinear(translate);
  const CoordinatesData& moved = *p.coordinates.find(1);
  for (std::uint32_t i = 0; i < 100; ++i) {
    EXPECT_FLOAT_EQ(moved.screenX[i], static_cast<float>(i % 10));
    EXPECT_FLOAT_EQ(moved.screenY[i], static_cast<float>(i / 10));
    EXPECT_FLOAT_EQ(moved.ledX[i], static_cast<float>(i % 10) - 4.5f);  // layout unchanged
  }
  EXPECT_FLOAT_EQ(moved.x, 4.5f);
  EXPECT_FALSE(p.coordinates.find(0)->valid);
}

TEST(CoordinatesVisitorTest, AngleTurnsTheRootByQuarterSteps) {
  Topology t = relayWithTile(TypeQuadra);
  const Placed straight = place(t, 0);
  const Placed turned = place(t, 90);
  struct Case {
    std::uint32_t angle, sameAs, rotation;
  };
  for (const Case& c :
       {Case{89, 0, 0}, Case{90, 90, 1}, Case{450, 90, 1}, Case{360, 0, 0}, Case{270, 270, 3}}) {
    SCOPED_TRACE(c.angle);
    Placed p = place(t, c.angle);
    EXPECT_EQ(p.oriented.find(1)->rotation, c.rotation);
    if (c.sameAs == 270) continue;
    const Placed& ref = c.sameAs == 0 ? straight : turned;
    EXPECT_EQ(p.coordinates.find(1)->ledX, ref.coordinates.find(1)->ledX);
    EXPECT_EQ(p.coordinates.find(1)->ledY, ref.coordinates.find(1)->ledY);
  }
  // Turned once, LED i lies where LED leds(i) of the straight tile was.
  for (std::uint32_t i = 0; i < 100; ++i) {
    const int j = ConfigRotationQuadra::leds(i);
    EXPECT_EQ(turned.coordinates.find(1)->ledX[i], straight.coordinates.find(1)->ledX[j]);
    EXPECT_EQ(turned.coordinates.find(1)->ledY[i], straight.coordinates.find(1)->ledY[j]);
  }
}

TEST(CoordinatesVisitorTest, TilesBelowARelayShareTheOrigin) {
  Topology t = relayWithTile(TypeQuadraV2);
  // A second hub below the first tile; its one channel leads on to tile 2.
  t.addNeighbour(1, 1, TypeRelayRpi, 5, true);
  t.addNeighbour(5, 0, TypeQuadraV2, 2, true);
  t.addNeighbour(2, 3, TypeRelayRpi, 5, false);
  Placed p = place(t, 90);
  ASSERT_TRUE(p.coordinates.contains(2));
  for (std::uint32_t id : {1u, 2u}) {
    EXPECT_TRUE(p.coordinates.find(id)->valid);
    EXPECT_EQ(p.coordinates.find(id)->x, 0.0f);
    EXPECT_EQ(p.coordinates.find(id)->y, 0.0f);
    EXPECT_EQ(p.oriented.find(id)->rotation, 1u);
  }
  EXPECT_EQ(p.coordinates.find(2)->ledX, p.coordinates.find(1)->ledX);
  EXPECT_FALSE(p.coordinates.find(5)->valid);
}

TEST(CoordinatesVisitorTest, SquareNeighboursFollowTheirChannels) {
  struct Case {
    std::uint32_t parentChannel, childChannel, rotation;
    float x, y;
  };
  for (const Case& c : {Case{1, 3, 0, 10, 0}, Case{1, 0, 1, 10, 0}, Case{2, 0, 0, 0, 10},
                        Case{3, 1, 0, -10, 0}, Case{0, 2, 0, 0, -10}, Case{1, 1, 2, 10, 0}}) {
    SCOPED_TRACE(c.parentChannel * 10 + c.childChannel);
    Topology t;
    t.newModule(TypeRelay, 0);
    // Tile 1 hangs from the relay by a channel the case does not use.
    join(t, 0, 0, 1, c.parentChannel == 2 ? 3 : 2, TypeQuadra);
    join(t, 1, c.parentChannel, 2, c.childChannel, TypeQuadra);
    Placed p = place(t, 0);
    EXPECT_EQ(p.oriented.find(1)->rotation, 0u);
    EXPECT_EQ(p.oriented.find(2)->rotation, c.rotation);
    EXPECT_FLOAT_EQ(p.coordinates.find(2)->x, c.x);
    EXPECT_FLOAT_EQ(p.coordinates.find(2)->y, c.y);
  }
}

TEST(CoordinatesVisitorTest, DeltaChainAlternatesOrientationAndMirrorsItsLeds) {
  Topology t = relayWithTile(TypeDelta);
  join(t, 1, 5, 2, 5, TypeDelta);
  join(t, 2, 1, 3, 1, TypeDelta);
  Placed p = place(t, 0);
  EXPECT_EQ(p.oriented.find(1)->orientation, 0u);
  EXPECT_EQ(p.oriented.find(2)->orientation, 1u);
  EXPECT_EQ(p.oriented.find(3)->orientation, 0u);
  EXPECT_EQ(p.oriented.find(2)->rotation, 0u);
  EXPECT_FLOAT_EQ(p.coordinates.find(2)->x, 0.0f);
  EXPECT_FLOAT_EQ(p.coordinates.find(2)->y, -10.0f);

  const CoordinatesData& first = *p.coordinates.find(1);
  const CoordinatesData& second = *p.coordinates.find(2);
  ASSERT_EQ(second.ledX.size(), 31u);
  ASSERT_EQ(second.sensorX.size(), 4u);
  for (std::size_t i = 0; i < 31; ++i) {
    EXPECT_FLOAT_EQ(second.ledX[i] - second.x, -(first.ledX[i] - first.x)) << i;
    EXPECT_FLOAT_EQ(second.ledY[i] - second.y, -(first.ledY[i] - first.y)) << i;
  }
  EXPECT_FLOAT_EQ(p.coordinates.find(3)->x, 8.660254f);
  EXPECT_FLOAT_EQ(p.coordinates.find(3)->y, -15.0f);
  EXPECT_FLOAT_EQ(p.minY, -20.0f);
}

TEST(CoordinatesVisitorTest, ChildThatDoesNotListItsParentStaysOnIt) {
  Topology t = relayWithTile(TypeQuadra);
  t.addNeighbour(1, 1, TypeQuadra, 2, true);  // no link back from 2
  Placed p = place(t, 0);
  // Facing channel 4 (one past the last): (4 - 2 - 1) mod 4.
  EXPECT_EQ(p.oriented.find(2)->rotation, 1u);
  EXPECT_TRUE(p.coordinates.find(2)->valid);
  EXPECT_EQ(p.coordinates.find(2)->x, 0.0f);
  EXPECT_EQ(p.coordinates.find(2)->y, 0.0f);
  EXPECT_EQ(p.coordinates.find(2)->ledX.size(), 100u);
}

TEST(CoordinatesVisitorTest, UnknownModuleBelowATileIsNotTurned) {
  Topology t = relayWithTile(TypeDelta);
  t.addNeighbour(1, 3, TypeUnknown, 2, true);
  Placed p = place(t, 180);
  EXPECT_EQ(p.oriented.find(2)->rotation, 0u);
  EXPECT_EQ(p.oriented.find(2)->orientation, 0u);
  EXPECT_FALSE(p.coordinates.find(2)->valid);
  EXPECT_EQ(p.coordinates.find(2)->type, TypeUnknown);
}

TEST(CoordinatesVisitorTest, VarnaSixthSensorStaysAtTheCentre) {
  Topology t = relayWithTile(TypeVarna);
  join(t, 1, 1, 2, 3, TypeVarna);
  for (std::uint32_t angle : {0u, 90u, 180u}) {
    Placed p = place(t, angle);
    const CoordinatesData& v = *p.coordinates.find(2);
    ASSERT_EQ(v.sensorX.size(), 6u);
    ASSERT_EQ(v.ledX.size(), 4u);
    EXPECT_EQ(v.sensorX[5], v.x);
    EXPECT_EQ(v.sensorY[5], v.y);
    EXPECT_EQ(v.sensorX[4], v.x);  // the fifth one is the centre by its table
    EXPECT_EQ(v.sensorCopyX, v.sensorX);
    EXPECT_FLOAT_EQ(std::fabs(v.ledX[0] - v.x), 0.5f);
  }
}

TEST(CoordinatesVisitorTest, TranslateSkipsModulesNeverPlaced) {
  Topology t = relayWithTile(TypeQuadraV2);
  t.newModule(TypeQuadraV2, 7);  // not reachable
  Placed p = place(t, 0);
  TranslateVisitor translate(p.coordinates, 4.5f, 4.5f);
  t.visitLinear(translate);
  EXPECT_FALSE(p.coordinates.contains(7));
  EXPECT_FLOAT_EQ(p.coordinates.find(1)->sensorX[0], -2.5f);  // sensors stay in layout
  EXPECT_FLOAT_EQ(p.coordinates.find(1)->screenX[0], 0.0f);
}

TEST(CoordinatesVisitorTest, NarrowerWalksPlaceEveryTileAsTheFullWalkDoes) {
  std::mt19937 random(4242);
  const ModuleType types[] = {TypeDelta, TypeQuadra, TypeQuadraV2, TypeVarna, TypeRelay};
  for (int round = 0; round < 200; ++round) {
    // A random tree: each new module hangs from an earlier one on random
    // channels, some of them not its own (placed on the parent then).
    Topology t;
    t.newModule(TypeRelay, 0);
    const std::uint32_t modules = 1 + random() % 40;
    for (std::uint32_t id = 1; id <= modules; ++id) {
      join(t, random() % id, random() % 6, id, random() % 6, types[random() % 5]);
    }
    const std::uint32_t angle = 90 * (random() % 5);
    Placed full = place(t, angle);
    TopologyData<CoordinatesData> centres;
    TopologyData<OrientedData> oriented;
    CoordinatesVisitor visitor(centres, oriented, angle, CoordinatesVisitor::CentresOnly);
    t.visitAll(visitor, 0);
    ASSERT_EQ(visitor.minX(), full.minX);
    ASSERT_EQ(visitor.maxX(), full.maxX);
    ASSERT_EQ(visitor.minY(), full.minY);
    ASSERT_EQ(visitor.maxY(), full.maxY);
    ASSERT_EQ(centres.size(), full.coordinates.size());
    for (const auto& [id, c] : full.coordinates) {
      const CoordinatesData* only = centres.find(id);
      ASSERT_NE(only, nullptr);
      EXPECT_EQ(only->valid, c.valid) << id;
      EXPECT_EQ(only->type, c.type) << id;
      EXPECT_EQ(only->x, c.x) << id;
      EXPECT_EQ(only->y, c.y) << id;
      EXPECT_TRUE(only->ledX.empty() && only->screenX.empty() && only->sensorX.empty()) << id;
      if (!c.valid) continue;
      // Tiles of every model and rotation in one walk: each LED lies where
      // its own tile's table, turned and signed, puts it.
      const TileTables& tables = *tileTables(c.type);
      const OrientedData& turned = *full.oriented.find(id);
      const float sign = static_cast<float>(orientationSign(c.type, turned.orientation));
      ASSERT_EQ(c.ledX.size(), tables.ledCount) << id;
      ASSERT_EQ(c.ledY.size(), tables.ledCount) << id;
      for (std::uint32_t i = 0; i < tables.ledCount; ++i) {
        std::uint32_t j = i;
        rotateIndex(tables.rotateLed, tables.ledCount, i, turned.rotation, j);
        ASSERT_EQ(c.ledX[i], (static_cast<float>(tables.ledsX(j)) * tables.scaleX) * sign + c.x);
        ASSERT_EQ(c.ledY[i], (static_cast<float>(tables.ledsY(j)) * tables.scaleY) * sign + c.y);
      }
      EXPECT_EQ(c.screenX, c.ledX) << id;
      EXPECT_EQ(c.screenY, c.ledY) << id;
    }

    // The player's walk holds the same positions, and nothing else.
    TopologyData<CoordinatesData> screen;
    TopologyData<OrientedData> screenOriented;
    CoordinatesVisitor screenVisitor(screen, screenOriented, angle, CoordinatesVisitor::Screen);
    t.visitAll(screenVisitor, 0);
    ASSERT_EQ(screen.size(), full.coordinates.size());
    for (const auto& [id, c] : full.coordinates) {
      const CoordinatesData& only = *screen.find(id);
      EXPECT_EQ(only.x, c.x) << id;
      EXPECT_EQ(only.screenX, c.screenX) << id;
      EXPECT_EQ(only.screenY, c.screenY) << id;
      EXPECT_EQ(only.sensorCopyX, c.sensorCopyX) << id;
      EXPECT_EQ(only.sensorCopyY, c.sensorCopyY) << id;
      EXPECT_TRUE(only.ledX.empty() && only.ledY.empty() && only.sensorX.empty() &&
                  only.sensorY.empty())
          << id;
    }
  }
}

}  // namespace
}  // namespace lc
