#include "topology/OrientedVisitor.h"

#include "topology/Module.h"
#include "topology/TileTables.h"

namespace lc {

OrientedData OrientedVisitor::atRoot(const Module& module, std::uint32_t angle) {
  OrientedData data;
  // Not reduced by the type's rotation count: three steps of a delta tile
  // are a full turn, which its tables give back as the identity.
  data.rotation = (angle / 90) & 3;
  data.orientation = 0;
  data.type = module.type();
  return data;
}

OrientedData OrientedVisitor::follow(const Module& parent, const OrientedData& from,
                                     const Module& child, std::uint32_t angle) {
  if (isRelay(parent.type())) return atRoot(child, angle);
  OrientedData data;
  const ModuleType type = child.type();
  data.type = type;
  const int count = static_cast<int>(rotationCount(type));
  const int orientations = static_cast<int>(orientationCount(type));
  if (count == 0 || orientations == 0) {
    // A model without tables cannot be turned.
    data.rotation = 0;
    data.orientation = 0;
    return data;
  }

  std::uint32_t p = parent.facingChannel(child);
  std::uint32_t absolute = 0;
  if (absoluteChannel(parent.type(), p, from.rotation, absolute)) p = absolute;
  const std::uint32_t k = child.facingChannel(parent);

  // A square child faces its parent with the opposite channel (offset -2 of
  // 4); a delta child, always of the other orientation, with the same one.
  const int diff = static_cast<int>(k) + rotationOffset(type) - static_cast<int>(p);
  data.rotation = static_cast<std::uint32_t>((diff % count + count) % count);
  data.orientation = (from.orientation + 1) % static_cast<std::uint32_t>(orientations);
  return data;
}

void OrientedVisitor::enter(const Module& module) {
  (*data_)[module.id()] = atRoot(module, angle_);
}

void OrientedVisitor::enter(const Module& parent, const Module& child) {
  // A relay parent's record is never read (the walk entered the parent
  // first, so any other has one).
  const OrientedData relay;
  const OrientedData& from = isRelay(parent.type()) ? relay : (*data_)[parent.id()];
  (*data_)[child.id()] = follow(parent, from, child, angle_);
}

}  // namespace lc
