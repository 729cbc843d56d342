#pragma once

// Module type ids, their tags and every fact of a module model: counts,
// shape tables, pixel slot sizes and the loader's code. A model is its id
// below and one named row of the table in ModuleType.cc (plus its
// ConfigGeometry and ConfigRotation tables); the rest of the system looks
// facts up here and never switches on a type id.

#include <cstdint>
#include <string>

namespace lc {

// u8 id of a module model; 255, and any id from kModuleTypeCount up, is an
// unknown model.
using ModuleType = std::uint8_t;

enum ModuleTypeId : ModuleType {
  TypeRelay = 0,
  TypeOldRelay = 1,
  TypeRelayRpi = 2,
  TypeDelta = 3,
  TypeQuadra = 4,
  TypeQuadraV2 = 5,
  TypeVarna = 6,
  TypeUnknown = 255,
};

// Number of known types (ids 0 to kModuleTypeCount - 1).
inline constexpr unsigned kModuleTypeCount = 7;
// The largest channel count of any type: sizes fixed per-module arrays.
inline constexpr unsigned kMaxChannels = 6;
// The largest LED count of any type: sizes per-tile scratch arrays.
inline constexpr unsigned kMaxLeds = 128;

// The shape of a model: its rotation and geometry operations with the
// lengths of their tables, the scale from table units to screen units and
// the bounds a tile claims around its centre. Operations a model lacks are
// null; the lengths say how far each table may be read.
struct TileTables {
  using Op = int (*)(std::uint32_t);

  ModuleType type;
  unsigned channelCount;
  unsigned ledCount;
  // Entries of the sensor tables; may be fewer than the model's sensor count
  // (the "varna" sixth sensor has none). 0 with null sensor operations when
  // the model has no sensor tables.
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

// Bytes one module takes in a pixel frame, per display mode.
struct PixelSlots {
  std::uint32_t video;
  // Bytes each LED's colour takes in a video slot: 3 (red, green, blue), or
  // 1 where the slot has one byte per LED (the pixel's largest channel).
  std::uint32_t videoBytesPerLed;
  std::uint32_t rgb;
  std::uint32_t mask;
};

// One row of the table: everything the system knows about a model.
struct ModuleTypeInfo {
  enum Kind : std::uint8_t { Relay, Tile };

  const char* tag;
  Kind kind;
  unsigned orientationCount;
  unsigned rotationCount;
  int rotationOffset;
  // Sensors the coordinate computation reports; the "varna" tile reports
  // six, the sixth one without table entries, at the tile's centre.
  unsigned sensorCount;
  // The 16-bit code the modules' boot code knows the model by.
  std::uint16_t loaderCode;
  PixelSlots slots;
  // Channel and LED counts live here, beside the tables they bound.
  TileTables shape;
};

// The row of a known type; nullptr for an unknown one.
const ModuleTypeInfo* moduleTypeInfo(ModuleType type);

// Exact, case-sensitive tag to id; any other tag gives TypeUnknown.
ModuleType typeFromTag(const std::string& tag);
// Id to tag; an empty string for an unknown id.
const char* tagFromType(ModuleType type);

inline bool isKnownType(ModuleType type) { return type < kModuleTypeCount; }
// The hubs and the tile models, as their rows say; an unknown type is
// neither.
bool isRelay(ModuleType type);
bool isTile(ModuleType type);

// Per-type facts; 0 (or all-zero slots) for an unknown id.
unsigned channelCount(ModuleType type);
unsigned orientationCount(ModuleType type);
unsigned rotationCount(ModuleType type);
int rotationOffset(ModuleType type);
unsigned ledCount(ModuleType type);
unsigned sensorCount(ModuleType type);
std::uint16_t loaderCode(ModuleType type);
PixelSlots pixelSlots(ModuleType type);

// The shape of a tile model; nullptr for relays and unknown types.
const TileTables* tileTables(ModuleType type);

}  // namespace lc
