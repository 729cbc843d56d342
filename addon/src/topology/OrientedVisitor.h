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

 private:
  TopologyData<OrientedData>* data_;
  std::uint32_t angle_;
};

}  // namespace lc
