// Time of the topology document (write and read) and of the occupancy
// matrix for installations of square tiles laid out on a grid.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "topology/Topology.h"
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

BENCHMARK(BM_GetJSON)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FromJSON)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetMatrix)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
