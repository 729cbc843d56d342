#pragma once

// How one module is turned in the installation: its rotation steps and, for
// the triangular model, which way it points.

#include <cstdint>

#include "topology/ModuleType.h"

namespace lc {

struct OrientedData {
  // Rotation steps, below rotationCount(type) except at the root, where it
  // is (angle / 90) & 3 unreduced.
  std::uint32_t rotation = 0;
  // Orientation index, below orientationCount(type); alternates 0, 1 along a
  // chain of delta tiles and is 0 for every other model.
  std::uint32_t orientation = 0;
  ModuleType type = 0;
};

}  // namespace lc
