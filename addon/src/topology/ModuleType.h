#pragma once

// Module type ids, their tags and the per-type integer tables (channel,
// orientation and rotation counts, LED and sensor counts). Every part of the
// system that names a module model goes through this file.

#include <cstdint>
#include <string>

namespace lc {

// u8 id of a module model; 255 (and anything above 6) is an unknown model.
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

// Exact, case-sensitive tag to id; any other tag gives TypeUnknown.
ModuleType typeFromTag(const std::string& tag);
// Id to tag; an empty string for an unknown id.
const char* tagFromType(ModuleType type);

inline bool isKnownType(ModuleType type) { return type < kModuleTypeCount; }
// The hubs: ids 0 to 2.
inline bool isRelay(ModuleType type) { return type <= TypeRelayRpi; }
// The tile models: ids 3 to 6.
inline bool isTile(ModuleType type) { return type >= TypeDelta && type <= TypeVarna; }

// Per-type integers; 0 for an unknown id.
unsigned channelCount(ModuleType type);
unsigned orientationCount(ModuleType type);
unsigned rotationCount(ModuleType type);
int rotationOffset(ModuleType type);
// LEDs and sensors whose positions the coordinate computation produces. The
// "varna" tile reports six sensors; the sixth one has no table entry and sits
// at the tile's centre.
unsigned ledCount(ModuleType type);
unsigned sensorCount(ModuleType type);

}  // namespace lc
