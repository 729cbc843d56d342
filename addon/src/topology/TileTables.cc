#include "topology/TileTables.h"

#include "topology/ConfigGeometry.h"
#include "topology/ConfigRotation.h"

namespace lc {

namespace {

// 1.7320508: the single-precision value nearest to the square root of 3, so
// that delta tiles are equilateral on screen.
constexpr float kDeltaScaleX = 1.7320508f;

constexpr TileTables kDelta{
    TypeDelta,
    6,
    31,
    4,
    kDeltaScaleX,
    1.0f,
    -10,
    10,
    -5,
    5,
    &ConfigGeometryDelta::channelsX,
    &ConfigGeometryDelta::channelsY,
    &ConfigGeometryDelta::ledsX,
    &ConfigGeometryDelta::ledsY,
    &ConfigGeometryDelta::sensorsX,
    &ConfigGeometryDelta::sensorsY,
    &ConfigRotationDelta::channels,
    &ConfigRotationDelta::leds,
    &ConfigRotationDelta::sensors,
    &ConfigRotationDelta::orientations,
};

constexpr TileTables kQuadra{
    TypeQuadra,
    4,
    100,
    0,
    0.5f,
    0.5f,
    -9,
    9,
    -9,
    9,
    &ConfigGeometryQuadra::channelsX,
    &ConfigGeometryQuadra::channelsY,
    &ConfigGeometryQuadra::ledsX,
    &ConfigGeometryQuadra::ledsY,
    nullptr,
    nullptr,
    &ConfigRotationQuadra::channels,
    &ConfigRotationQuadra::leds,
    nullptr,
    &ConfigRotationQuadra::orientations,
};

constexpr TileTables kQuadraV2{
    TypeQuadraV2,
    4,
    100,
    4,
    0.5f,
    0.5f,
    -9,
    9,
    -9,
    9,
    &ConfigGeometryQuadraV2::channelsX,
    &ConfigGeometryQuadraV2::channelsY,
    &ConfigGeometryQuadraV2::ledsX,
    &ConfigGeometryQuadraV2::ledsY,
    &ConfigGeometryQuadraV2::sensorsX,
    &ConfigGeometryQuadraV2::sensorsY,
    &ConfigRotationQuadraV2::channels,
    &ConfigRotationQuadraV2::leds,
    &ConfigRotationQuadraV2::sensors,
    &ConfigRotationQuadraV2::orientations,
};

constexpr TileTables kVarna{
    TypeVarna,
    4,
    4,
    5,
    0.5f,
    0.5f,
    -1,
    1,
    -1,
    1,
    &ConfigGeometryVarna::channelsX,
    &ConfigGeometryVarna::channelsY,
    &ConfigGeometryVarna::ledsX,
    &ConfigGeometryVarna::ledsY,
    &ConfigGeometryVarna::sensorsX,
    &ConfigGeometryVarna::sensorsY,
    &ConfigRotationVarna::channels,
    &ConfigRotationVarna::leds,
    &ConfigRotationVarna::sensors,
    &ConfigRotationVarna::orientations,
};

}  // namespace

const TileTables* tileTables(ModuleType type) {
  switch (type) {
    case TypeDelta:
      return &kDelta;
    case TypeQuadra:
      return &kQuadra;
    case TypeQuadraV2:
      return &kQuadraV2;
    case TypeVarna:
      return &kVarna;
    default:
      return nullptr;
  }
}

TileTables::Op channelRotation(ModuleType type) {
  if (isRelay(type)) return &ConfigRotationRelay::channels;
  const TileTables* tables = tileTables(type);
  return tables != nullptr ? tables->rotateChannel : nullptr;
}

bool rotateIndex(TileTables::Op op, unsigned length, std::uint32_t index, std::uint32_t steps,
                 std::uint32_t& out) {
  if (op == nullptr || index >= length) return false;
  for (std::uint32_t step = 0; step < steps; ++step) {
    int next = op(index);
    if (next < 0 || static_cast<unsigned>(next) >= length) return false;
    index = static_cast<std::uint32_t>(next);
  }
  out = index;
  return true;
}

bool absoluteChannel(ModuleType type, std::uint32_t channel, std::uint32_t steps,
                     std::uint32_t& out) {
  return rotateIndex(channelRotation(type), channelCount(type), channel, steps, out);
}

int orientationSign(ModuleType type, std::uint32_t orientation) {
  const TileTables* tables = tileTables(type);
  if (tables == nullptr || orientation >= orientationCount(type)) return 1;
  return tables->orientations(orientation);
}

}  // namespace lc
