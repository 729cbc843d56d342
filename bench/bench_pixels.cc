// Cost of writing one image into the pixel frames, per LED, for each mapping
// class on installations of 12, 100 and 1000 square tiles, beside a memcpy of
// the same frames' bytes (the ceiling). compare_pixels.js runs this binary and
// the same mappings written in JavaScript, and prints the ratios. The
// BM_UpdatePortable runs show the mappings without their vector kernels.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "player/MaskData.h"
#include "player/PixelWords.h"
#include "player/RGBData.h"
#include "player/VideoData.h"

namespace {

constexpr std::uint32_t kFrameLength = 918;  // the relay's default packet size
constexpr unsigned kLedsPerTile = 100;

// Square tiles on a near-square grid; module 0 is the relay, tiles are 1..n.
// compare_pixels.js builds the same layout.
struct Installation {
  lc::TopologyData<lc::CoordinatesData> coordinates;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> image;
};

Installation makeInstallation(unsigned tiles) {
  Installation in;
  const unsigned columns = static_cast<unsigned>(std::ceil(std::sqrt(tiles)));
  const unsigned rows = (tiles + columns - 1) / columns;
  in.width = 10 * columns;
  in.height = 10 * rows;
  in.coordinates[0];
  for (unsigned t = 0; t < tiles; ++t) {
    lc::CoordinatesData& c = in.coordinates[t + 1];
    c.valid = true;
    c.type = lc::TypeQuadra;
    const float x0 = 10.0f * static_cast<float>(t % columns) + 0.5f;
    const float y0 = 10.0f * static_cast<float>(t / columns) + 0.5f;
    for (unsigned k = 0; k < kLedsPerTile; ++k) {
      c.screenX.push_back(x0 + static_cast<float>(k % 10));
      c.screenY.push_back(y0 + static_cast<float>(k / 10));
    }
  }
  // Half of the channels are zero so that the bit mappings see both cases.
  in.image.resize(4u * in.width * in.height);
  std::uint32_t r = 12345;
  for (std::uint8_t& b : in.image) {
    r = r * 1103515245u + 12345u;
    b = (r >> 16) & 1 ? static_cast<std::uint8_t>(r >> 24) : 0;
  }
  return in;
}

// CPU seconds per LED (shown as ps or ns; compare_pixels.js reads it).
void perLed(benchmark::State& state, unsigned tiles) {
  state.counters["leds"] = tiles * kLedsPerTile;
  state.counters["per_led"] =
      benchmark::Counter(tiles * kLedsPerTile, benchmark::Counter::kIsIterationInvariantRate |
                                                   benchmark::Counter::kInvert);
}

template <typename Mapping>
void BM_Update(benchmark::State& state) {
  const unsigned tiles = static_cast<unsigned>(state.range(0));
  Installation in = makeInstallation(tiles);
  Mapping mapping;
  mapping.initFromTopologyData(in.coordinates, kFrameLength, in.width, in.height);
  for (auto _ : state) {
    mapping.update(in.image.data(), static_cast<unsigned>(in.image.size()), lc::Data::RGB);
    benchmark::DoNotOptimize(mapping.frame(0));
    benchmark::ClobberMemory();
  }
  perLed(state, tiles);
}

// The same with a colour correction (gamma 2.2, warm white balance): what
// the lookup tables cost beside the plain copy.
template <typename Mapping>
void BM_UpdateCorrected(benchmark::State& state) {
  const unsigned tiles = static_cast<unsigned>(state.range(0));
  Installation in = makeInstallation(tiles);
  Mapping mapping;
  mapping.initFromTopologyData(in.coordinates, kFrameLength, in.width, in.height);
  lc::Correction correction;
  correction.set({2.2, 2.2, 2.2}, {1.0, 0.9, 0.8});
  mapping.setCorrection(correction);
  for (auto _ : state) {
    mapping.update(in.image.data(), static_cast<unsigned>(in.image.size()), lc::Data::RGB);
    benchmark::DoNotOptimize(mapping.frame(0));
    benchmark::ClobberMemory();
  }
  perLed(state, tiles);
}

// The same with the vector kernels turned off: what a machine without them
// gets.
template <typename Mapping>
void BM_UpdatePortable(benchmark::State& state) {
  lc::pixel::allowVectorKernels(false);
  BM_Update<Mapping>(state);
  lc::pixel::allowVectorKernels(true);
}

// And corrected without them.
template <typename Mapping>
void BM_UpdateCorrectedPortable(benchmark::State& state) {
  lc::pixel::allowVectorKernels(false);
  BM_UpdateCorrected<Mapping>(state);
  lc::pixel::allowVectorKernels(true);
}

// Copies as many bytes as the mapping's frames hold.
template <typename Mapping>
void BM_Memcpy(benchmark::State& state) {
  const unsigned tiles = static_cast<unsigned>(state.range(0));
  Installation in = makeInstallation(tiles);
  Mapping mapping;
  mapping.initFromTopologyData(in.coordinates, kFrameLength, in.width, in.height);
  const std::size_t bytes = mapping.frameCount() * mapping.frameLength();
  std::vector<std::uint8_t> from(bytes, 1);
  std::vector<std::uint8_t> to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  perLed(state, tiles);
}

// Copies the input image itself: what reading every pixel once costs at
// the least, which addImage's rgb and mask mappings are held to.
void BM_CopyImage(benchmark::State& state) {
  const unsigned tiles = static_cast<unsigned>(state.range(0));
  Installation in = makeInstallation(tiles);
  std::vector<std::uint8_t> to(in.image.size());
  for (auto _ : state) {
    std::memcpy(to.data(), in.image.data(), in.image.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  perLed(state, tiles);
}

}  // namespace

BENCHMARK(BM_CopyImage)->Arg(12)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_Update, lc::VideoData)->Arg(12)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_Update, lc::RGBData)->Arg(12)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_Update, lc::MaskData)->Arg(12)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdateCorrected, lc::VideoData)->Arg(12)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdateCorrected, lc::RGBData)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdateCorrected, lc::MaskData)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdatePortable, lc::VideoData)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdatePortable, lc::RGBData)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdatePortable, lc::MaskData)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdateCorrectedPortable, lc::VideoData)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdateCorrectedPortable, lc::RGBData)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_UpdateCorrectedPortable, lc::MaskData)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_Memcpy, lc::VideoData)->Arg(12)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_Memcpy, lc::RGBData)->Arg(12)->Arg(100)->Arg(1000);
BENCHMARK_TEMPLATE(BM_Memcpy, lc::MaskData)->Arg(12)->Arg(100)->Arg(1000);

BENCHMARK_MAIN();
