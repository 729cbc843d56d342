#include "topology/ModuleType.h"

#include "topology/ConfigGeometry.h"
#include "topology/ConfigRotation.h"

namespace lc {

namespace {

// All four tile models share one boot code: the loader stream does not tell
// them apart.
constexpr std::uint16_t kTileLoaderCode = 0x2013;

// Builds one row of the table field by field, so that every value stands
// beside its name. Fields a row does not set stay zero (tables: null).
class Row {
  // Ahead of its callers: a compiler may need a template's body the moment a
  // constant expression calls it.
  template <typename T, typename V>
  constexpr Row& set(T& field, V value) {
    field = value;
    return *this;
  }

 public:
  // Relays have one channel, which every rotation keeps, and nothing to show.
  static constexpr Row relay(const char* tag, ModuleType type) {
    Row row(tag, ModuleTypeInfo::Relay, type);
    row.info_.shape.channelCount = 1;
    row.info_.orientationCount = 1;
    row.info_.rotationCount = 1;
    row.info_.shape.rotateChannel = &ConfigRotationRelay::channels;
    row.info_.shape.orientations = &ConfigRotationRelay::orientations;
    return row;
  }
  static constexpr Row tile(const char* tag, ModuleType type) {
    Row row(tag, ModuleTypeInfo::Tile, type);
    row.info_.loaderCode = kTileLoaderCode;
    row.info_.slots.videoBytesPerLed = 3;
    return row;
  }

  constexpr Row& loaderCode(std::uint16_t code) { return set(info_.loaderCode, code); }
  constexpr Row& channels(unsigned n) { return set(info_.shape.channelCount, n); }
  constexpr Row& leds(unsigned n) { return set(info_.shape.ledCount, n); }
  constexpr Row& sensors(unsigned n) { return set(info_.sensorCount, n); }
  constexpr Row& orientations(unsigned n) { return set(info_.orientationCount, n); }
  constexpr Row& rotations(unsigned n) { return set(info_.rotationCount, n); }
  constexpr Row& rotationOffset(int offset) { return set(info_.rotationOffset, offset); }
  // Pixel-frame bytes per module in each display mode.
  constexpr Row& videoSlot(std::uint32_t bytes) { return set(info_.slots.video, bytes); }
  constexpr Row& videoBytesPerLed(std::uint32_t n) { return set(info_.slots.videoBytesPerLed, n); }
  constexpr Row& rgbSlot(std::uint32_t bytes) { return set(info_.slots.rgb, bytes); }
  constexpr Row& maskSlot(std::uint32_t bytes) { return set(info_.slots.mask, bytes); }
  // Table units to screen units.
  constexpr Row& scale(float x, float y) {
    info_.shape.scaleX = x;
    info_.shape.scaleY = y;
    return *this;
  }
  // The box a tile claims around its centre, in table units.
  constexpr Row& boundsX(int from, int to) {
    info_.shape.boundsXFrom = from;
    info_.shape.boundsXTo = to;
    return *this;
  }
  constexpr Row& boundsY(int from, int to) {
    info_.shape.boundsYFrom = from;
    info_.shape.boundsYTo = to;
    return *this;
  }
  // The channel, LED and orientation tables of geometry G and rotation R.
  template <typename G, typename R>
  constexpr Row& tables() {
    TileTables& t = info_.shape;
    t.channelsX = &G::channelsX;
    t.channelsY = &G::channelsY;
    t.ledsX = &G::ledsX;
    t.ledsY = &G::ledsY;
    t.rotateChannel = &R::channels;
    t.rotateLed = &R::leds;
    t.orientations = &R::orientations;
    return *this;
  }
  // The sensor tables, `entries` long; a model without them sets none.
  template <typename G, typename R>
  constexpr Row& sensorTables(unsigned entries) {
    TileTables& t = info_.shape;
    t.sensorTableCount = entries;
    t.sensorsX = &G::sensorsX;
    t.sensorsY = &G::sensorsY;
    t.rotateSensor = &R::sensors;
    return *this;
  }

  constexpr operator ModuleTypeInfo() const { return info_; }

 private:
  constexpr Row(const char* tag, ModuleTypeInfo::Kind kind, ModuleType type) : info_() {
    info_.tag = tag;
    info_.kind = kind;
    info_.shape.type = type;
  }

  ModuleTypeInfo info_;
};

// 1.7320508: the single-precision value nearest to the square root of 3, so
// that delta tiles are equilateral on screen.
constexpr float kDeltaScaleX = 1.7320508f;

// Indexed by type id; the order is also the order in which tags are matched.
// clang-format off
constexpr ModuleTypeInfo kTypes[kModuleTypeCount] = {
    Row::relay("relay", TypeRelay).loaderCode(0x002A),
    Row::relay("oldrelay", TypeOldRelay).loaderCode(0x002A),
    Row::relay("relayrpi", TypeRelayRpi).loaderCode(0x002B),
    Row::tile("delta", TypeDelta)
        .channels(6).leds(31).sensors(4)
        .orientations(2).rotations(3).rotationOffset(0)
        .videoSlot(93).rgbSlot(12).maskSlot(4)
        .scale(kDeltaScaleX, 1.0f).boundsX(-10, 10).boundsY(-5, 5)
        .tables<ConfigGeometryDelta, ConfigRotationDelta>()
        .sensorTables<ConfigGeometryDelta, ConfigRotationDelta>(4),
    Row::tile("quadra", TypeQuadra)
        .channels(4).leds(100).sensors(0)
        .orientations(1).rotations(4).rotationOffset(-2)
        .videoSlot(300).rgbSlot(39).maskSlot(13)
        .scale(0.5f, 0.5f).boundsX(-9, 9).boundsY(-9, 9)
        .tables<ConfigGeometryQuadra, ConfigRotationQuadra>(),
    Row::tile("quadrav2", TypeQuadraV2)
        .channels(4).leds(100).sensors(4)
        .orientations(1).rotations(4).rotationOffset(-2)
        .videoSlot(300).rgbSlot(39).maskSlot(13)
        .scale(0.5f, 0.5f).boundsX(-9, 9).boundsY(-9, 9)
        .tables<ConfigGeometryQuadraV2, ConfigRotationQuadraV2>()
        .sensorTables<ConfigGeometryQuadraV2, ConfigRotationQuadraV2>(4),
    // One video byte per LED, not three; the sixth sensor has no table
    // entries (it sits at the centre).
    Row::tile("varna", TypeVarna)
        .channels(4).leds(4).sensors(6)
        .orientations(1).rotations(4).rotationOffset(-2)
        .videoSlot(4).videoBytesPerLed(1).rgbSlot(3).maskSlot(1)
        .scale(0.5f, 0.5f).boundsX(-1, 1).boundsY(-1, 1)
        .tables<ConfigGeometryVarna, ConfigRotationVarna>()
        .sensorTables<ConfigGeometryVarna, ConfigRotationVarna>(5),
};
// clang-format on

// A row's place in the table and its shape's type must agree, or a lookup
// by id would hand out another model's tables.
constexpr bool rowsInIdOrder() {
  for (unsigned i = 0; i < kModuleTypeCount; ++i) {
    if (kTypes[i].shape.type != i || kTypes[i].shape.channelCount > kMaxChannels ||
        kTypes[i].shape.ledCount > kMaxLeds) {
      return false;
    }
  }
  return true;
}
static_assert(rowsInIdOrder(), "module type rows must be in id order");

// A tile row that forgot its counts is caught here, when the row is
// written, not when a tile shows. (Its table pointers are checked by the
// table test: a sanitizing build cannot compare their addresses in a
// constant expression.)
constexpr bool tileRowsComplete() {
  for (const ModuleTypeInfo& row : kTypes) {
    if (row.kind != ModuleTypeInfo::Tile) continue;
    if (row.rotationCount == 0 || row.orientationCount == 0 ||
        row.shape.sensorTableCount > row.sensorCount) {
      return false;
    }
  }
  return true;
}
static_assert(tileRowsComplete(), "every tile row needs its counts");

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
