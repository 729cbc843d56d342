#include "topology/CentresVisitor.h"

#include "topology/CoordinatesVisitor.h"
#include "topology/Module.h"
#include "topology/OrientedVisitor.h"

namespace lc {

CentresVisitor::CentresVisitor(std::size_t moduleCount, std::uint32_t angle)
    : placed_(moduleCount), angle_(angle) {
  centres_.reserve(moduleCount);
}

CentresVisitor::Placed& CentresVisitor::at(std::uint32_t slot) {
  if (slot >= placed_.size()) placed_.resize(std::size_t{slot} + 1);
  return placed_[slot];
}

void CentresVisitor::enter(const Module& module) {
  centres_.clear();
  Placed& placed = at(module.slot());
  placed.turned = OrientedVisitor::atRoot(module, angle_);
  placed.centre = {0, 0};
  if (isTile(module.type())) centres_.push_back(placed.centre);
}

void CentresVisitor::enter(const Module& parent, const Module& module) {
  // Copied: growing the tables for the child would move the parent's entry.
  const Placed from = at(parent.slot());
  Placed& placed = at(module.slot());
  placed.turned = OrientedVisitor::follow(parent, from.turned, module, angle_);
  if (!isTile(module.type())) return;
  placed.centre = CoordinatesVisitor::centreFrom(parent, from.centre, module, placed.turned);
  centres_.push_back(placed.centre);
}

}  // namespace lc
