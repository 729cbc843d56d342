// Time of the topology document (write and read) and of the occupancy
// matrix for installations of square tiles laid out on a grid, and of the
// matrix of a staircase (tiles joined alternately right and down), whose
// answer grows with the square of its size.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/Communication.h"
#include "topology/CoordinatesVisitor.h"
#include "topology/MatrixVisitor.h"
#include "topology/Topology.h"
#include "topology/TopologyComputation.h"
#include "util/Log.h"

namespace {

using lc::Topology;

// `tiles` square tiles on a grid 40 columns wide (fewer for small counts),
// each joined to its neighbours on all four sides, behind a relay joined to
// tile 1. Every tile's parent is the tile to its west, or north on column 0.
Topology grid(std::uint32_t tiles) {
  const std::uint32_t width = tiles < 40 ? 10 : 40;
  Topology t;
  t.newModule(lc::TypeRelay, 0);
  t.addNeighbour(0, 0, lc::TypeQuadra, 1, true);
  for (std::uint32_t i = 0; i < tiles; ++i) t.newModule(lc::TypeQuadra, i + 1);
  for (std::uint32_t i = 0; i < tiles; ++i) {
    const std::uint32_t id = i + 1, c = i % width, r = i / width;
    if (i == 0) t.addNeighbour(id, 0, lc::TypeRelay, 0, false);
    if (r > 0) t.addNeighbour(id, 0, lc::TypeQuadra, id - width, false);
    if (c + 1 < width && i + 1 < tiles) t.addNeighbour(id, 1, lc::TypeQuadra, id + 1, true);
    if (i + width < tiles) t.addNeighbour(id, 2, lc::TypeQuadra, id + width, c == 0);
    if (c > 0) t.addNeighbour(id, 3, lc::TypeQuadra, id - 1, false);
  }
  return t;
}

// A relay, then tiles 1..n each joined to the one before: on its east side
// when the previous one was joined on its south side, and the other way
// round. Every tile adds a row or a column.
Topology staircase(std::uint32_t tiles) {
  Topology t;
  t.newModule(lc::TypeRelay, 0);
  t.addNeighbour(0, 0, lc::TypeQuadra, 1, true);
  t.addNeighbour(1, 0, lc::TypeRelay, 0, false);
  for (std::uint32_t id = 2; id <= tiles; ++id) {
    const bool east = id % 2 == 0;
    t.addNeighbour(id - 1, east ? 1 : 2, lc::TypeQuadra, id, true);
    t.addNeighbour(id, east ? 3 : 0, lc::TypeQuadra, id - 1, false);
  }
  return t;
}

void BM_GetJSON(benchmark::State& state) {
  const Topology t = grid(static_cast<std::uint32_t>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = t.getJSON();
    bytes = text.size();
    benchmark::DoNotOptimize(text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_FromJSON(benchmark::State& state) {
  const std::string text = grid(static_cast<std::uint32_t>(state.range(0))).getJSON();
  for (auto _ : state) {
    Topology t;
    bool ok = t.fromJSON(text);
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError("document refused");
  }
}

void BM_GetMatrix(benchmark::State& state) {
  const Topology t = grid(static_cast<std::uint32_t>(state.range(0)));
  std::size_t rows = 0;
  for (auto _ : state) {
    auto matrix = t.getMatrix(90);
    rows = matrix.size();
    benchmark::DoNotOptimize(matrix);
  }
  state.counters["rows"] = static_cast<double>(rows);
}

// getMatrix as it was: every LED and sensor position computed as well,
// though the matrix reads only the centres.
void BM_GetMatrixWithPositions(benchmark::State& state) {
  const Topology t = grid(static_cast<std::uint32_t>(state.range(0)));
  for (auto _ : state) {
    lc::TopologyData<lc::CoordinatesData> coordinates;
    lc::TopologyData<lc::OrientedData> oriented;
    lc::CoordinatesVisitor placer(coordinates, oriented, 90);
    t.visitAll(placer, 0);
    lc::MatrixVisitor matrix(coordinates);
    t.visitAll(matrix, 0);
    benchmark::DoNotOptimize(matrix.rows());
  }
}

void BM_GetMatrixStaircase(benchmark::State& state) {
  const Topology t = staircase(static_cast<std::uint32_t>(state.range(0)));
  std::size_t rows = 0;
  std::size_t columns = 0;
  for (auto _ : state) {
    auto matrix = t.getMatrix(0);
    rows = matrix.size();
    columns = rows > 0 ? matrix[0].size() : 0;
    benchmark::DoNotOptimize(matrix);
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["columns"] = static_cast<double>(columns);
}

// The staircase's answer alone: rows of the same shape allocated and
// filled, the floor under BM_GetMatrixStaircase (its pages are fresh on
// every call, and on a loaded machine faulting them in is most of the time).
void BM_StaircaseAnswerOnly(benchmark::State& state) {
  const auto tiles = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    std::vector<std::string> rows(tiles / 2, std::string(tiles / 2 + 1, '0'));
    benchmark::DoNotOptimize(rows);
  }
}

// The relay's module records of grid(n), one cycle and the first record of
// the next, in payloads of 100 records as the relay may send them.
std::vector<std::vector<std::uint8_t>> recordPayloads(std::uint32_t tiles) {
  const Topology t = grid(tiles);
  const std::uint32_t total = tiles + 1;
  std::vector<std::uint8_t> all;
  auto put = [&](std::uint32_t w) {
    all.push_back(std::uint8_t(w));
    all.push_back(std::uint8_t(w >> 8));
  };
  for (std::uint32_t n = 0; n <= total; ++n) {
    const lc::Module& m = *t.find(n % total);
    std::uint32_t kinds[4] = {}, ids[4] = {};
    for (std::uint32_t c : m.links()) {
      const lc::Module* other = m.neighbour(c);
      kinds[c] = other->parent() == &m ? 2 : 1;
      ids[c] = other->id();
    }
    put(total);
    put(m.id());
    for (std::uint32_t k : kinds) put(k);
    for (std::uint32_t i : ids) put(i);
  }
  std::vector<std::vector<std::uint8_t>> payloads;
  const std::size_t size = 100 * 20;
  for (std::size_t at = 0; at < all.size(); at += size) {
    payloads.emplace_back(all.begin() + long(at),
                          all.begin() + long(std::min(all.size(), at + size)));
  }
  return payloads;
}

void BM_DecodeRecords(benchmark::State& state) {
  lc::Log::log().setStream(std::fopen("/dev/null", "w"));
  const auto payloads = recordPayloads(static_cast<std::uint32_t>(state.range(0)));
  lc::Communication link;
  lc::TopologyComputation computation(link);
  for (auto _ : state) {
    computation.prepare(lc::TypeRelay, lc::TypeQuadra);
    for (const auto& p : payloads) computation.topologyInit(p.data(), std::uint32_t(p.size()));
    if (!computation.done()) state.SkipWithError("the cycle did not complete");
  }
  lc::Log::log().setStream(nullptr);
}

BENCHMARK(BM_GetJSON)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FromJSON)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetMatrix)->Arg(100)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetMatrixWithPositions)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(30000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetMatrixStaircase)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(6000)
    ->Arg(10000)
    ->Arg(12000)
    ->Arg(30000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StaircaseAnswerOnly)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeRecords)->Arg(12)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
