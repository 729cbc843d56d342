#pragma once

// Shifts every tile's centre and LED screen positions by a fixed offset, so
// that the installation's box starts at (0, 0): the screen frame the player
// samples images in. Sensor positions stay in the layout frame.

#include "topology/CoordinatesData.h"
#include "topology/LinearVisitor.h"
#include "topology/TopologyData.h"

namespace lc {

class TranslateVisitor : public LinearVisitor {
 public:
  TranslateVisitor(TopologyData<CoordinatesData>& coordinates, float offsetX, float offsetY)
      : coordinates_(&coordinates), offsetX_(offsetX), offsetY_(offsetY) {}

  // Tiles only. A module the coordinate walk never reached has no record
  // and is left without one.
  void visit(const Module& module) override;

 private:
  TopologyData<CoordinatesData>* coordinates_;
  float offsetX_;
  float offsetY_;
};

}  // namespace lc
