#include "topology/TileTables.h"

namespace lc {

TileTables::Op channelRotation(ModuleType type) {
  const ModuleTypeInfo* info = moduleTypeInfo(type);
  return info != nullptr ? info->shape.rotateChannel : nullptr;
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
