#include "topology/ModuleType.h"

namespace lc {

namespace {

struct TypeRow {
  const char* tag;
  unsigned channels;
  unsigned orientations;
  unsigned rotations;
  int rotationOffset;
  unsigned leds;
  unsigned sensors;
};

// Indexed by type id; the order is also the order in which tags are matched.
constexpr TypeRow kTypes[kModuleTypeCount] = {
    {"relay", 1, 1, 1, 0, 0, 0},     {"oldrelay", 1, 1, 1, 0, 0, 0},
    {"relayrpi", 1, 1, 1, 0, 0, 0},  {"delta", 6, 2, 3, 0, 31, 4},
    {"quadra", 4, 1, 4, -2, 100, 0}, {"quadrav2", 4, 1, 4, -2, 100, 4},
    {"varna", 4, 1, 4, -2, 4, 6},
};

}  // namespace

ModuleType typeFromTag(const std::string& tag) {
  for (unsigned i = 0; i < kModuleTypeCount; ++i) {
    if (tag == kTypes[i].tag) return static_cast<ModuleType>(i);
  }
  return TypeUnknown;
}

const char* tagFromType(ModuleType type) { return isKnownType(type) ? kTypes[type].tag : ""; }

unsigned channelCount(ModuleType type) { return isKnownType(type) ? kTypes[type].channels : 0; }

unsigned orientationCount(ModuleType type) {
  return isKnownType(type) ? kTypes[type].orientations : 0;
}

unsigned rotationCount(ModuleType type) { return isKnownType(type) ? kTypes[type].rotations : 0; }

int rotationOffset(ModuleType type) { return isKnownType(type) ? kTypes[type].rotationOffset : 0; }

unsigned ledCount(ModuleType type) { return isKnownType(type) ? kTypes[type].leds : 0; }

unsigned sensorCount(ModuleType type) { return isKnownType(type) ? kTypes[type].sensors : 0; }

}  // namespace lc
