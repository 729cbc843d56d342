#pragma once

// Works out every module's rotation and orientation by walking the graph
// from the relay: the root (and every tile hanging directly from a relay)
// takes the installation angle, and each other tile follows from the
// channels by which it is joined to the module the walk came from.

#include <cstdint>

#include "topology/GraphVisitor.h"
#include "topology/OrientedData.h"
#include "topology/TopologyData.h"

namespace lc {

class OrientedVisitor : public GraphVisitor {
 public:
  // `angle`: the installation's rotation in degrees.
  OrientedVisitor(TopologyData<OrientedData>& data, std::uint32_t angle)
      : data_(&data), angle_(angle) {}

  void enter(const Module& module) override;
  void enter(const Module& parent, const Module& module) override;

  std::uint32_t angle() const { return angle_; }

  // The rules themselves, for walks that keep their results elsewhere than
  // in a TopologyData. The root's orientation, also taken by every module
  // hanging directly from a relay:
  static OrientedData atRoot(const Module& module, std::uint32_t angle);
  // The orientation of `child` entered from `parent`, itself turned as
  // `from` says (read only when `parent` is not a relay).
  static OrientedData follow(const Module& parent, const OrientedData& from, const Module& child,
                             std::uint32_t angle);

 private:
  TopologyData<OrientedData>* data_;
  std::uint32_t angle_;
};

}  // namespace lc
