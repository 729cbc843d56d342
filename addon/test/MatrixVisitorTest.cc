#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/TopologyFixtures.h"
#include "topology/CoordinatesVisitor.h"
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
      {"negative zero is zero", {{-0.0f, 0}, {0, -0.0f}}, {"1"}},
      // One row per tile, each with its cell where its x ranks.
      {"order by value across magnitudes and signs",
       {{1e30f, 0}, {-1e-30f, 1}, {1e-30f, 2}, {-1e30f, 3}, {0, 4}},
       {"00001", "01000", "00010", "10000", "00100"}},
      {"neighbouring floats are distinct", {{1.0f, 0}, {std::nextafter(1.0f, 2.0f), 0}}, {"11"}},
      {"centres that are not finite take no cell",
       {{0, 0}, {std::numeric_limits<float>::infinity(), 0}, {std::nanf(""), 10}, {20, 0}},
       {"11"}},
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
  for (const auto& centre : centres) {
    // Plain names: a lambda may not capture a structured binding in C++17.
    const float x = centre.first;
    const float y = centre.second;
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

// Installations for the equivalence test below.

// `tiles` tiles of `type` on a grid `width` wide, joined on all four sides,
// behind a relay joined to tile 1; each tile's parent is the tile to its
// west, or north on the first column.
Topology gridOf(std::uint32_t tiles, std::uint32_t width, ModuleType type) {
  Topology t;
  t.newModule(TypeRelay, 0);
  t.addNeighbour(0, 0, type, 1, true);
  for (std::uint32_t i = 0; i < tiles; ++i) t.newModule(type, i + 1);
  for (std::uint32_t i = 0; i < tiles; ++i) {
    const std::uint32_t id = i + 1, c = i % width, r = i / width;
    if (i == 0) t.addNeighbour(id, 0, TypeRelay, 0, false);
    if (r > 0) t.addNeighbour(id, 0, type, id - width, false);
    if (c + 1 < width && i + 1 < tiles) t.addNeighbour(id, 1, type, id + 1, true);
    if (i + width < tiles) t.addNeighbour(id, 2, type, id + width, c == 0);
    if (c > 0) t.addNeighbour(id, 3, type, id - 1, false);
  }
  return t;
}

// Tiles 1..n each joined to the one before, alternately on its east and
// its south side: every tile adds a row or a column.
Topology staircaseOf(std::uint32_t tiles) {
  Topology t;
  t.newModule(TypeRelay, 0);
  join(t, 0, 0, 1, 0, TypeQuadra);
  for (std::uint32_t id = 2; id <= tiles; ++id) {
    const bool east = id % 2 == 0;
    join(t, id - 1, east ? 1 : 2, id, east ? 3 : 0, TypeQuadra);
  }
  return t;
}

// Up to 60 modules of every model (unknown ones and relays among the
// tiles too) under sparse ids, created in any order: a random spanning tree
// whose back links are sometimes missing, then extra links that close
// cycles, land on channels a model lacks or go one way only.
Topology randomInstallation(std::mt19937& random) {
  const std::uint32_t count = 1 + random() % 60;
  std::vector<std::uint32_t> ids{0};
  while (ids.size() < count) {
    const std::uint32_t id = 1 + random() % 90;
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  }
  const ModuleType tiles[] = {TypeDelta, TypeQuadra, TypeQuadraV2, TypeVarna};
  const ModuleType others[] = {TypeRelay, TypeOldRelay, TypeRelayRpi, TypeUnknown};
  // A third of them of one tile model, as real installations are; a module
  // in twelve is a relay or of an unknown model.
  const bool uniform = random() % 3 == 0;
  const ModuleType model = tiles[random() % 4];
  std::vector<ModuleType> types;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i == 0) {
      types.push_back(random() % 8 == 0 ? tiles[random() % 4] : ModuleType(random() % 3));
    } else if (random() % 12 == 0) {
      types.push_back(others[random() % 4]);
    } else {
      types.push_back(uniform ? model : tiles[random() % 4]);
    }
  }
  // Mostly a channel the model has (taken ones are refused), now and then
  // one past all of them.
  auto channel = [&](ModuleType type) -> std::uint32_t {
    const std::uint32_t count = channelCount(type);
    return count == 0 || random() % 10 == 0 ? random() % 7 : random() % count;
  };
  Topology t;
  std::vector<std::size_t> order(ids.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  for (std::size_t i : order) {
    if (random() % 4 != 0) t.newModule(types[i], ids[i]);
  }
  t.newModule(types[0], ids[0]);
  for (std::size_t i = 1; i < ids.size(); ++i) {
    const std::size_t parent = random() % i;
    t.addNeighbour(ids[parent], channel(types[parent]), types[i], ids[i], random() % 5 != 0);
    if (random() % 8 != 0) {
      t.addNeighbour(ids[i], channel(types[i]), types[parent], ids[parent], false);
    }
  }
  for (std::uint32_t extra = random() % (count + 1); extra > 0; --extra) {
    const std::size_t a = random() % ids.size(), b = random() % ids.size();
    t.addNeighbour(ids[a], channel(types[a]), types[b], ids[b], random() % 6 == 0);
    if (random() % 2 != 0) t.addNeighbour(ids[b], channel(types[b]), types[a], ids[a], false);
  }
  return t;
}

// The matrix as it was first made: every position computed into maps by
// id, the centres gathered in walk order and laid out by the incremental
// builder. Also checks that the MatrixVisitor over those maps agrees.
Rows oracleMatrix(const Topology& t, std::uint32_t angle) {
  TopologyData<CoordinatesData> coordinates;
  TopologyData<OrientedData> oriented;
  CoordinatesVisitor placer(coordinates, oriented, angle);
  t.visitAll(placer, 0);
  struct Gather : GraphVisitor {
    explicit Gather(const TopologyData<CoordinatesData>& c) : coordinates(c) {}
    void enter(const Module& m) override { add(m); }
    void enter(const Module&, const Module& m) override { add(m); }
    void add(const Module& m) {
      const CoordinatesData* data = coordinates.find(m.id());
      if (data != nullptr && data->valid) centres.push_back({data->x, data->y});
    }
    const TopologyData<CoordinatesData>& coordinates;
    std::vector<std::pair<float, float>> centres;
  } gather(coordinates);
  t.visitAll(gather, 0);
  Rows rows = incrementalMatrix(gather.centres);
  MatrixVisitor matrix(coordinates);
  t.visitAll(matrix, 0);
  EXPECT_EQ(matrix.rows(), rows);
  return rows;
}

TEST(MatrixVisitorTest, GetMatrixMatchesTheOracle) {
  struct Shape {
    std::string name;
    Topology topology;
  };
  std::vector<Shape> shapes;
  for (ModuleType type : {TypeQuadra, TypeQuadraV2, TypeVarna}) {
    shapes.push_back({"grid 7 wide of model " + std::to_string(type), gridOf(45, 7, type)});
  }
  shapes.push_back({"grid one wide", gridOf(20, 1, TypeQuadra)});
  shapes.push_back({"staircase", staircaseOf(120)});
  std::mt19937 random(81226);
  for (int i = 0; i < 300; ++i) {
    shapes.push_back({"random installation " + std::to_string(i), randomInstallation(random)});
  }
  std::size_t tiles = 0;
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    for (std::uint32_t angle : {0u, 90u, 180u, 270u, 45u, 450u}) {
      SCOPED_TRACE(angle);
      const Rows rows = shape.topology.getMatrix(angle);
      ASSERT_EQ(rows, oracleMatrix(shape.topology, angle));
      for (const std::string& row : rows) tiles += std::count(row.begin(), row.end(), '1');
    }
  }
  // The random installations must reach tiles, not only relays.
  EXPECT_GT(tiles, 10000u);
}

}  // namespace
}  // namespace lc
