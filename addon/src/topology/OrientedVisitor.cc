#include "topology/OrientedVisitor.h"

#include "topology/Module.h"
#include "topology/TileTables.h"

namespace lc {

void OrientedVisitor::enter(const Module& module) {
  OrientedData& data = (*data_)[module.id()];
  // Not reduced by the type's rotation count: three steps of a delta tile
  // are a full turn, which its tables give back as the identity.
  data.rotation = (angle_ / 90) & 3;
  data.orientation = 0;
  data.type = module.type();
}

void OrientedVisitor::enter(const Module& parent, const Module& child) {
  if (isRelay(parent.type())) {
    enter(child);
    return;
  }
  OrientedData& data = (*data_)[child.id()];
  const ModuleType type = child.type();
  data.type = type;
  const int count = static_cast<int>(rotationCount(type));
  const int orientations = static_cast<int>(orientationCount(type));
  if (count == 0 || orientations == 0) {
    // A model without tables cannot be turned.
    data.rotation = 0;
    data.orientation = 0;
    return;
  }

  const OrientedData& from = (*data_)[parent.id()];
  std::uint32_t p = parent.facingChannel(child.id());
  std::uint32_t absolute = 0;
  if (absoluteChannel(parent.type(), p, from.rotation, absolute)) p = absolute;
  const std::uint32_t k = child.facingChannel(parent.id());

  // A square child faces its parent with the opposite channel (offset -2 of
  // 4); a delta child, always of the other orientation, with the same one.
  const int diff = static_cast<int>(k) + rotationOffset(type) - static_cast<int>(p);
  data.rotation = static_cast<std::uint32_t>((diff % count + count) % count);
  data.orientation = (from.orientation + 1) % static_cast<std::uint32_t>(orientations);
}

}  // namespace lc
