#include <gtest/gtest.h>

#include <chrono>
#include <random>
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

namespace lc {
namespace {

// The matrix as the first builder made it, line by line and cell by cell in
// walk order: kept as the oracle for the sorting builder.
Rows incrementalMatrix(const std::vector<std::pair<float, float>>& centres) {
  struct Line {
    float y;
    std::vector<std::pair<float, bool>> cells;
  };
  auto addCell = [](Line& line, float x, bool occupied) {
    for (auto it = line.cells.begin(); it != line.cells.end(); ++it) {
      if (it->first == x) {
        it->second = it->second || occupied;
        return;
      }
      if (it->first > x) {
        line.cells.insert(it, {x, occupied});
        return;
      }
    }
    line.cells.push_back({x, occupied});
  };
  std::vector<Line> lines;
  for (auto [x, y] : centres) {
    auto insertLine = [&](std::size_t at) {
      Line line{y, {}};
      if (!lines.empty()) {
        for (auto& cell : lines.front().cells) line.cells.push_back({cell.first, false});
      }
      addCell(line, x, true);
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), line);
    };
    bool matched = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (!matched && lines[i].y > y) {
        insertLine(i);
        matched = true;
        ++i;
      }
      const bool here = lines[i].y == y;
      addCell(lines[i], x, here);
      matched = matched || here;
    }
    if (!matched) insertLine(lines.size());
  }
  Rows rows;
  for (const Line& line : lines) {
    std::string row;
    for (auto& cell : line.cells) row.push_back(cell.second ? '1' : '0');
    rows.push_back(row);
  }
  return rows;
}

TEST(MatrixVisitorTest, SortingBuilderMatchesTheIncrementalOne) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 400; ++round) {
    const int tiles = 1 + static_cast<int>(random() % 60);
    // Few distinct values so rows and columns collide; halves, deltas'
    // thirds and a negative zero so exact comparison matters.
    const float steps[] = {0.0f, -0.0f, 10.0f, 5.5f, 20.0f / 3.0f, -10.0f, 30.0f, 1e-7f};
    std::vector<std::pair<float, float>> centres;
    for (int i = 0; i < tiles; ++i) {
      centres.push_back({steps[random() % 8] + 10.0f * float(random() % 4),
                         steps[random() % 8] - 10.0f * float(random() % 4)});
    }
    ASSERT_EQ(matrixOf(centres), incrementalMatrix(centres)) << "round " << round;
  }
}

TEST(MatrixVisitorTest, StaircaseOfManyTilesIsQuick) {
  std::vector<std::pair<float, float>> centres;
  for (int i = 0; i < 6000; ++i)
    centres.push_back({10.0f * float((i + 1) / 2), 10.0f * float(i / 2)});
  const auto started = std::chrono::steady_clock::now();
  Rows rows = matrixOf(centres);
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(rows.size(), 3000u);
  EXPECT_EQ(rows[0].substr(0, 3), "110");
  EXPECT_EQ(rows[2999].substr(2999), "11");
  // The incremental builder took about half a minute here in a release
  // build; sanitizers and a loaded machine still leave this far below.
  EXPECT_LT(took, std::chrono::seconds(10));
}

}  // namespace
}  // namespace lc
