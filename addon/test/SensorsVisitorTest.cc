#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "player/SensorsVisitor.h"
#include "support/ScreenFixtures.h"
#include "support/TopologyFixtures.h"

namespace lc {
namespace {

using test::join;
using test::relayWithTile;
using Layout = std::vector<std::vector<std::int32_t>>;

// The coordinates are computed on a copy of the map the visitor reads.
struct Grid {
  TopologyData<CoordinatesData> coordinates;
  SensorsVisitor visitor{coordinates};
};

void walk(Grid& grid, const Topology& topology) { topology.visitAll(grid.visitor, 0); }

CoordinatesData sensorsAt(ModuleType type, std::vector<std::pair<float, float>> at) {
  CoordinatesData c;
  c.valid = true;
  c.type = type;
  for (auto [x, y] : at) {
    c.sensorCopyX.push_back(x);
    c.sensorCopyY.push_back(y);
  }
  return c;
}

TEST(SensorsVisitorTest, OneSquareTileGivesATwoByTwoGrid) {
  const Topology t = relayWithTile(TypeQuadraV2);
  Grid grid;
  grid.coordinates = test::screenOf(t).coordinates;
  walk(grid, t);
  EXPECT_EQ(grid.visitor.layout(), (Layout{{-1, -1, -1, -1}, {0, 1, 2, 3}}));
  EXPECT_EQ(grid.visitor.rowCount(), 2u);
  EXPECT_EQ(grid.visitor.columnCount(), 2u);
  EXPECT_EQ(grid.visitor.visited(), 2u);
  EXPECT_EQ(grid.visitor.maxSensors(), 4u);
}

TEST(SensorsVisitorTest, ATileOnThePlusXSideAddsColumns) {
  Topology t = relayWithTile(TypeQuadraV2);
  join(t, 1, 1, 2, 3, TypeQuadraV2);
  Grid grid;
  grid.coordinates = test::screenOf(t).coordinates;
  walk(grid, t);
  EXPECT_EQ(grid.visitor.layout(), (Layout{{-1, -1, -1, -1}, {0, 1, 4, 5}, {2, 3, 6, 7}}));
  EXPECT_EQ(grid.visitor.rowCount(), 2u);
  EXPECT_EQ(grid.visitor.columnCount(), 4u);
}

TEST(SensorsVisitorTest, ALineBetweenTwoLinesShiftsLaterIndices) {
  Topology t = relayWithTile(TypeQuadraV2);
  join(t, 1, 1, 2, 3, TypeQuadraV2);
  Grid grid;
  grid.coordinates[1] = sensorsAt(TypeQuadraV2, {{0, 0}, {10, 0}, {0, 10}, {10, 10}});
  grid.coordinates[2] = sensorsAt(TypeQuadraV2, {{5, 5}, {20, 0}, {5, 10}, {20, 10}});
  walk(grid, t);
  // Rows y 0, 5, 10; columns x 0, 5, 10, 20.
  EXPECT_EQ(grid.visitor.rowCount(), 3u);
  EXPECT_EQ(grid.visitor.columnCount(), 4u);
  for (const auto& line : grid.visitor.lines()) EXPECT_EQ(line.cells.size(), 4u);
  EXPECT_EQ(grid.visitor.layout()[1], (std::vector<std::int32_t>{0, 2, 8, 10}));
  EXPECT_EQ(grid.visitor.layout()[2], (std::vector<std::int32_t>{5, 3, 9, 11}));
}

TEST(SensorsVisitorTest, TwoSensorsAtOnePlaceLeaveTheEarlierWithoutACell) {
  Grid grid;
  Topology t = relayWithTile(TypeQuadraV2);
  grid.coordinates[1] = sensorsAt(TypeQuadraV2, {{0, 0}, {1, 0}, {0, 0}, {1, 1}});
  walk(grid, t);
  EXPECT_EQ(grid.visitor.layout()[1], (std::vector<std::int32_t>{-1, 1, 0, 3}));
}

TEST(SensorsVisitorTest, TilesWithoutSensorsGiveEmptyRows) {
  Topology t = relayWithTile(TypeQuadra);
  join(t, 1, 1, 2, 3, TypeQuadra);
  Grid grid;
  grid.coordinates = test::screenOf(t).coordinates;
  walk(grid, t);
  EXPECT_EQ(grid.visitor.maxSensors(), 0u);
  EXPECT_EQ(grid.visitor.layout(), (Layout{{}, {}, {}}));
  EXPECT_EQ(grid.visitor.rowCount(), 0u);
  EXPECT_EQ(grid.visitor.columnCount(), 0u);
}

TEST(SensorsVisitorTest, SparseIdsStillGetTheirRow) {
  // Module 1 exists but is not reachable; the tile that is has id 5.
  Topology t;
  t.newModule(TypeRelay, 0);
  t.newModule(TypeQuadraV2, 1);
  join(t, 0, 0, 5, 0, TypeQuadraV2);
  Grid grid;
  grid.coordinates = test::screenOf(t).coordinates;
  walk(grid, t);
  EXPECT_EQ(grid.visitor.visited(), 2u);
  ASSERT_EQ(grid.visitor.layout().size(), 6u);
  EXPECT_EQ(grid.visitor.layout()[5], (std::vector<std::int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(grid.visitor.layout()[1], (std::vector<std::int32_t>{-1, -1, -1, -1}));
}

// The grid placed one sensor at a time into lines that grow, as it first
// was: the reference for the grid laid out at the end of the walk.
Layout insertedOneByOne(const TopologyData<CoordinatesData>& c, std::uint32_t tiles) {
  struct Cell {
    float x;
    bool occupied;
    std::uint32_t module, sensor;
  };
  std::vector<std::pair<float, std::vector<Cell>>> lines;
  for (std::uint32_t id = 1; id <= tiles; ++id) {
    const CoordinatesData& d = *c.find(id);
    for (std::uint32_t k = 0; k < d.sensorCopyX.size(); ++k) {
      const float x = d.sensorCopyX[k];
      const float y = d.sensorCopyY[k];
      std::size_t at = 0;
      while (at < lines.size() && lines[at].first < y) ++at;
      if (at == lines.size() || lines[at].first != y) {
        std::vector<Cell> cells = lines.empty() ? std::vector<Cell>{} : lines[0].second;
        for (Cell& cell : cells) cell.occupied = false;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), {y, cells});
      }
      for (auto& [ly, cells] : lines) {
        std::size_t q = 0;
        while (q < cells.size() && cells[q].x < x) ++q;
        if (q == cells.size() || cells[q].x != x) {
          cells.insert(cells.begin() + static_cast<std::ptrdiff_t>(q), Cell{x, false, 0, 0});
        }
        if (ly == y) cells[q] = Cell{x, true, id, k};
      }
    }
  }
  Layout layout(tiles + 1, std::vector<std::int32_t>(4, -1));
  for (std::size_t r = 0; r < lines.size(); ++r) {
    const auto& cells = lines[r].second;
    for (std::size_t q = 0; q < cells.size(); ++q) {
      if (cells[q].occupied) {
        layout[cells[q].module][cells[q].sensor] = static_cast<std::int32_t>(q + r * cells.size());
      }
    }
  }
  return layout;
}

TEST(SensorsVisitorTest, TheGridIsTheOneSensorsPlacedOneByOneMake) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    const std::uint32_t tiles = 1 + rng() % 12;
    Topology t = relayWithTile(TypeQuadraV2);
    for (std::uint32_t i = 2; i <= tiles; ++i) join(t, i - 1, 1, i, 3, TypeQuadraV2);
    Grid grid;
    grid.coordinates[0];
    // Few distinct values, so that rows, columns and places are shared.
    for (std::uint32_t id = 1; id <= tiles; ++id) {
      std::vector<std::pair<float, float>> at;
      for (int k = 0; k < 4; ++k) {
        at.emplace_back(static_cast<float>(rng() % 6) * 2.5f - 5, static_cast<float>(rng() % 5));
      }
      grid.coordinates[id] = sensorsAt(TypeQuadraV2, at);
    }
    walk(grid, t);
    EXPECT_EQ(grid.visitor.layout(), insertedOneByOne(grid.coordinates, tiles)) << round;
  }
}

TEST(SensorsVisitorTest, AWalkStartsAfresh) {
  const Topology t = relayWithTile(TypeQuadraV2);
  Grid grid;
  grid.coordinates = test::screenOf(t).coordinates;
  walk(grid, t);
  walk(grid, t);
  EXPECT_EQ(grid.visitor.layout(), (Layout{{-1, -1, -1, -1}, {0, 1, 2, 3}}));
  EXPECT_EQ(grid.visitor.visited(), 2u);
}

}  // namespace
}  // namespace lc
