#include "topology/ModuleType.h"

#include "topology/ConfigGeometry.h"
#include "topology/ConfigRotation.h"

namespace lc {

namespace {

// 1.7320508: the single-precision value nearest to the square root of 3, so
// that delta tiles are equilateral on screen.
constexpr float kDeltaScaleX = 1.7320508f;

// Relays have one channel, which every rotation keeps, and nothing to show.
constexpr TileTables relayShape(ModuleType type) {
  return TileTables{type,
                    1,
                    0,
                    0,
                    0.0f,
                    0.0f,
                    0,
                    0,
                    0,
                    0,
                    nullptr,
                    nullptr,
                    nullptr,
                    nullptr,
                    nullptr,
                    nullptr,
                    &ConfigRotationRelay::channels,
                    nullptr,
                    nullptr,
                    &ConfigRotationRelay::orientations};
}

constexpr ModuleTypeInfo relayRow(const char* tag, ModuleType type, std::uint16_t loaderCode) {
  return ModuleTypeInfo{tag,          ModuleTypeInfo::Relay, 1, 1, 0, 0, loaderCode,
                        {0, 0, 0, 0}, relayShape(type)};
}

// All four tile models share one boot code: the loader stream does not tell
// them apart.
constexpr std::uint16_t kTileLoaderCode = 0x2013;

// Indexed by type id; the order is also the order in which tags are matched.
constexpr ModuleTypeInfo kTypes[kModuleTypeCount] = {
    relayRow("relay", TypeRelay, 0x002A),
    relayRow("oldrelay", TypeOldRelay, 0x002A),
    relayRow("relayrpi", TypeRelayRpi, 0x002B),
    {"delta",
     ModuleTypeInfo::Tile,
     2,
     3,
     0,
     4,
     kTileLoaderCode,
     {93, 3, 12, 4},
     {TypeDelta,
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
      &ConfigRotationDelta::orientations}},
    {"quadra",
     ModuleTypeInfo::Tile,
     1,
     4,
     -2,
     0,
     kTileLoaderCode,
     {300, 3, 39, 13},
     {TypeQuadra,
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
      &ConfigRotationQuadra::orientations}},
    {"quadrav2",
     ModuleTypeInfo::Tile,
     1,
     4,
     -2,
     4,
     kTileLoaderCode,
     {300, 3, 39, 13},
     {TypeQuadraV2,
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
      &ConfigRotationQuadraV2::orientations}},
    // Its video slot has one byte per LED, not three.
    {"varna",
     ModuleTypeInfo::Tile,
     1,
     4,
     -2,
     6,
     kTileLoaderCode,
     {4, 1, 3, 1},
     {TypeVarna,
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
      &ConfigRotationVarna::orientations}},
};

// A row's place in the table and its shape's type must agree, or a lookup
// by id would hand out another model's tables.
constexpr bool rowsInIdOrder() {
  for (unsigned i = 0; i < kModuleTypeCount; ++i) {
    if (kTypes[i].shape.type != i || kTypes[i].shape.channelCount > kMaxChannels) return false;
  }
  return true;
}
static_assert(rowsInIdOrder(), "module type rows must be in id order");

}  // namespace

const ModuleTypeInfo* moduleTypeInfo(ModuleType type) {
  return isKnownType(type) ? &kTypes[type] : nullptr;
}

ModuleType typeFromTag(const std::string& tag) {
  for (unsigned i = 0; i < kModuleTypeCount; ++i) {
    if (tag == kTypes[i].tag) return static_cast<ModuleType>(i);
  }
  return TypeUnknown;
}

const char* tagFromType(ModuleType type) { return isKnownType(type) ? kTypes[type].tag : ""; }

bool isRelay(ModuleType type) {
  return isKnownType(type) && kTypes[type].kind == ModuleTypeInfo::Relay;
}

bool isTile(ModuleType type) {
  return isKnownType(type) && kTypes[type].kind == ModuleTypeInfo::Tile;
}

unsigned channelCount(ModuleType type) {
  return isKnownType(type) ? kTypes[type].shape.channelCount : 0;
}

unsigned orientationCount(ModuleType type) {
  return isKnownType(type) ? kTypes[type].orientationCount : 0;
}

unsigned rotationCount(ModuleType type) {
  return isKnownType(type) ? kTypes[type].rotationCount : 0;
}

int rotationOffset(ModuleType type) { return isKnownType(type) ? kTypes[type].rotationOffset : 0; }

unsigned ledCount(ModuleType type) { return isKnownType(type) ? kTypes[type].shape.ledCount : 0; }

unsigned sensorCount(ModuleType type) { return isKnownType(type) ? kTypes[type].sensorCount : 0; }

std::uint16_t loaderCode(ModuleType type) {
  return isKnownType(type) ? kTypes[type].loaderCode : 0;
}

PixelSlots pixelSlots(ModuleType type) {
  return isKnownType(type) ? kTypes[type].slots : PixelSlots{0, 0, 0, 0};
}

const TileTables* tileTables(ModuleType type) {
  return isTile(type) ? &kTypes[type].shape : nullptr;
}

}  // namespace lc
