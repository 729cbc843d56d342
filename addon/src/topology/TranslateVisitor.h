#pragma once

// Shifts every tile's centre and LED screen positions by a fixed offset, so
// that the installation's box starts at (0, 0): the screen frame the player
// samples images in. Sensor positions stay in the layout frame.

#include <cstdint>

#include "topology/CoordinatesData.h"
#include "topology/LinearVisitor.h"
#include "topology/TopologyData.h"

namespace lc {

class TranslateVisitor : public LinearVisitor {
 public:
  // With `inPlace`, for records that hold their LEDs in screenX/screenY
  // alone (CoordinatesVisitor::Screen), the screen positions are shifted
  // where they are; otherwise they are the layout positions shifted.
  TranslateVisitor(TopologyData<CoordinatesData>& coordinates, float offsetX, float offsetY,
                   bool inPlace = false)
      : coordinates_(&coordinates),
        next_(coordinates.begin()),
        offsetX_(offsetX),
        offsetY_(offsetY),
        inPlace_(inPlace) {}

  // Tiles only. A module the coordinate walk never reached has no record
  // and is left without one.
  void visit(const Module& module) override;

 private:
  // The walk comes in ascending id order, as the records are kept: the
  // record of the next module is found by stepping on, not by a search.
  CoordinatesData* recordOf(std::uint32_t id);

  TopologyData<CoordinatesData>* coordinates_;
  TopologyData<CoordinatesData>::Map::iterator next_;
  float offsetX_;
  float offsetY_;
  bool inPlace_;
};

}  // namespace lc
