#pragma once

// Screen-frame coordinates for pixel and sensor tests: either computed from a
// topology as the player does, or laid out by hand.

#include <cstdint>

#include "topology/CoordinatesData.h"
#include "topology/CoordinatesVisitor.h"
#include "topology/OrientedData.h"
#include "topology/Topology.h"
#include "topology/TopologyData.h"
#include "topology/TranslateVisitor.h"

namespace lc::test {

struct Screen {
  TopologyData<CoordinatesData> coordinates;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// Coordinates of `topology` at `angle`, shifted into the screen frame.
inline Screen screenOf(const Topology& topology, std::uint32_t angle = 0) {
  Screen screen;
  TopologyData<OrientedData> oriented;
  CoordinatesVisitor visitor(screen.coordinates, oriented, angle);
  topology.visitAll(visitor, 0);
  screen.width = visitor.screenWidth();
  screen.height = visitor.screenHeight();
  TranslateVisitor translate(screen.coordinates, -visitor.minX(), -visitor.minY());
  topology.visitLinear(translate);
  return screen;
}

// A hand-made tile record of `type` whose LED k sits at (x0 + k % 10, y0 + k / 10).
inline CoordinatesData gridTile(ModuleType type, float x0, float y0, unsigned leds) {
  CoordinatesData c;
  c.valid = true;
  c.type = type;
  for (unsigned k = 0; k < leds; ++k) {
    c.screenX.push_back(x0 + static_cast<float>(k % 10));
    c.screenY.push_back(y0 + static_cast<float>(k / 10));
  }
  c.ledX = c.screenX;
  c.ledY = c.screenY;
  return c;
}

}  // namespace lc::test
