#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/TopologyFixtures.h"
#include "topology/MatrixVisitor.h"
#include "topology/Topology.h"

namespace lc {
namespace {

using test::join;
using test::relayWithTile;
using Rows = std::vector<std::string>;

// A relay and a chain of tiles 1..n walked in id order, placed at the given
// centres.
Rows matrixOf(const std::vector<std::pair<float, float>>& centres) {
  Topology t;
  t.newModule(TypeRelay, 0);
  TopologyData<CoordinatesData> coordinates;
  coordinates[0].type = TypeRelay;
  for (std::uint32_t id = 1; id <= centres.size(); ++id) {
    join(t, id - 1, id == 1 ? 0 : 1, id, 3, TypeQuadra);
    CoordinatesData& c = coordinates[id];
    c.valid = true;
    c.x = centres[id - 1].first;
    c.y = centres[id - 1].second;
  }
  MatrixVisitor visitor(coordinates);
  t.visitAll(visitor, 0);
  return visitor.rows();
}

TEST(MatrixVisitorTest, RowsFollowTheCentres) {
  struct Case {
    const char* name;
    std::vector<std::pair<float, float>> centres;
    Rows rows;
  };
  const Case cases[] = {
      {"relay alone", {}, {}},
      {"one row", {{0, 0}, {20, 0}}, {"11"}},
      {"second row", {{0, 0}, {20, 0}, {20, 10}}, {"11", "01"}},
      {"row and column between", {{0, 0}, {20, 20}, {10, 10}}, {"100", "010", "001"}},
      {"row above the first", {{0, 10}, {0, 0}}, {"1", "1"}},
      {"column left of all", {{10, 0}, {10, 10}, {0, 10}}, {"01", "11"}},
      {"same place twice", {{5, 5}, {5, 5}}, {"1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(matrixOf(c.centres), c.rows);
  }
}

TEST(MatrixVisitorTest, ModulesWithoutValidCentreHaveNoCell) {
  Topology t = relayWithTile(TypeQuadra);
  join(t, 1, 1, 2, 3, TypeQuadra);
  TopologyData<CoordinatesData> coordinates;  // only tile 2 was placed
  coordinates[2].valid = true;
  coordinates[2].x = 7;
  MatrixVisitor visitor(coordinates);
  t.visitAll(visitor, 0);
  EXPECT_EQ(visitor.rows(), Rows{"1"});
  t.visitAll(visitor, 0);  // a second walk starts afresh
  EXPECT_EQ(visitor.rows(), Rows{"1"});
}

TEST(MatrixVisitorTest, MatrixOfAnInstallationTurnsWithTheAngle) {
  // Tile 2 east of tile 1, tile 3 south of it.
  Topology t = relayWithTile(TypeQuadra);
  join(t, 1, 1, 2, 3, TypeQuadra);
  join(t, 1, 2, 3, 0, TypeQuadra);
  EXPECT_EQ(t.getMatrix(0), (Rows{"11", "10"}));
  EXPECT_EQ(t.getMatrix(90), (Rows{"10", "11"}));
  EXPECT_EQ(t.getMatrix(180), (Rows{"01", "11"}));
  EXPECT_EQ(t.getMatrix(360), t.getMatrix(0));

  Topology relayOnly;
  relayOnly.newModule(TypeRelay, 0);
  EXPECT_TRUE(relayOnly.getMatrix(0).empty());
}

}  // namespace
}  // namespace lc
