#pragma once

// Geometry tables of every tile model: where its channels, LEDs and sensors
// lie in the tile's own frame, in the model's own units (the coordinate
// visitors scale them to screen units). Callers keep the index below the
// table's length (see TileTables); these operations do no range test.

#include <cstdint>

namespace lc {

struct ConfigGeometryDelta {
  static int channelsX(std::uint32_t i);
  static int channelsY(std::uint32_t i);
  static int ledsX(std::uint32_t i);
  static int ledsY(std::uint32_t i);
  static int sensorsX(std::uint32_t i);
  static int sensorsY(std::uint32_t i);
};

struct ConfigGeometryQuadra {
  static int channelsX(std::uint32_t i);
  static int channelsY(std::uint32_t i);
  static int ledsX(std::uint32_t i);
  static int ledsY(std::uint32_t i);
};

struct ConfigGeometryQuadraV2 {
  static int channelsX(std::uint32_t i);
  static int channelsY(std::uint32_t i);
  static int ledsX(std::uint32_t i);
  static int ledsY(std::uint32_t i);
  static int sensorsX(std::uint32_t i);
  static int sensorsY(std::uint32_t i);
};

struct ConfigGeometryVarna {
  static int channelsX(std::uint32_t i);
  static int channelsY(std::uint32_t i);
  static int ledsX(std::uint32_t i);
  static int ledsY(std::uint32_t i);
  static int sensorsX(std::uint32_t i);
  static int sensorsY(std::uint32_t i);
};

}  // namespace lc
