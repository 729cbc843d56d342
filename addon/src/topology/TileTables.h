#pragma once

// One row per module model that gathers its rotation and geometry operations
// with the lengths of their tables, the scale from table units to screen
// units and the bounds a tile claims around its centre. The coordinate,
// sensor and pixel computations select a model's tables here instead of
// switching on the type id each time, and read the lengths from the same row
// so that no table is read past its end.

#include <cstdint>

#include "topology/ModuleType.h"

namespace lc {

struct TileTables {
  using Op = int (*)(std::uint32_t);

  ModuleType type;
  unsigned channelCount;
  unsigned ledCount;
  // Entries of the sensor tables; may be fewer than sensorCount(type) (the
  // "varna" sixth sensor has none). 0 with null sensor operations when the
  // model has no sensors.
  unsigned sensorTableCount;
  float scaleX;
  float scaleY;
  // Box around the centre, in table units (multiply by the scales).
  int boundsXFrom, boundsXTo, boundsYFrom, boundsYTo;

  Op channelsX, channelsY;
  Op ledsX, ledsY;
  Op sensorsX, sensorsY;
  Op rotateChannel, rotateLed, rotateSensor;
  Op orientations;
};

// The row of a tile model; nullptr for relays and unknown types.
const TileTables* tileTables(ModuleType type);

// The channel rotation operation of any known type (relays included);
// nullptr for an unknown type.
TileTables::Op channelRotation(ModuleType type);

// Applies an operation `steps` times to `index`, staying inside a table of
// `length` entries: false (out untouched) when the index, or any index met
// on the way, is outside the table.
bool rotateIndex(TileTables::Op op, unsigned length, std::uint32_t index, std::uint32_t steps,
                 std::uint32_t& out);

// A channel of a module of `type` turned by `steps` rotation steps; false
// when the type is unknown or the channel is not one of its channels.
bool absoluteChannel(ModuleType type, std::uint32_t channel, std::uint32_t steps,
                     std::uint32_t& out);

// The sign of an orientation index of a tile model: +1 or -1; +1 for relays,
// unknown types and indices outside the table.
int orientationSign(ModuleType type, std::uint32_t orientation);

}  // namespace lc
