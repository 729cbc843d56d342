#pragma once

// Where one module lies in the plane of the installation: its centre and
// every LED and sensor position, in screen units (one unit is one pixel of
// the images the player samples: x the column, y the row).

#include <cstdint>
#include <vector>

#include "topology/ModuleType.h"

namespace lc {

// The centre of a tile, in the same frame.
struct TileCentre {
  float x;
  float y;
};

struct CoordinatesData {
  // Centre of the module in the layout frame (TranslateVisitor shifts it).
  float x = 0;
  float y = 0;
  // LED positions in the layout frame, in LED index order.
  std::vector<float> ledX;
  std::vector<float> ledY;
  // The same LED positions in the screen frame: equal to ledX/ledY until a
  // TranslateVisitor shifts them so that the installation starts at (0, 0).
  std::vector<float> screenX;
  std::vector<float> screenY;
  // Sensor positions in the layout frame, in sensor index order.
  std::vector<float> sensorX;
  std::vector<float> sensorY;
  // A second copy of the sensor positions, never shifted, for the sensor grid.
  std::vector<float> sensorCopyX;
  std::vector<float> sensorCopyY;
  // True for a tile whose positions were computed; relays never have it.
  bool valid = false;
  ModuleType type = 0;
};

}  // namespace lc
