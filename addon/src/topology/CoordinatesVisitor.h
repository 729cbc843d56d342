#pragma once

// Places every tile of an installation in one plane: walked from the relay,
// it computes each module's orientation (through an embedded
// OrientedVisitor), each tile's centre, the position of every LED and
// sensor, and the box that holds all tiles and the origin.

#include <cstdint>
#include <vector>

#include "topology/CoordinatesData.h"
#include "topology/GraphVisitor.h"
#include "topology/OrientedData.h"
#include "topology/OrientedVisitor.h"
#include "topology/TopologyData.h"

namespace lc {

struct TileTables;

class CoordinatesVisitor : public GraphVisitor {
 public:
  // What to compute for each tile: everything, or only its centre (with
  // `valid`, `type` and the box), for callers such as the occupancy matrix
  // that never read the LED and sensor positions, or all but the LEDs, for
  // the sensor grid (a tile has up to a hundred LEDs and a few sensors), or
  // only what a player reads: the LEDs in screenX/screenY alone, in the
  // layout frame (the player shifts them as it reads them), and the
  // sensors in sensorCopyX/sensorCopyY alone, without the other copies.
  enum Detail : unsigned { Everything = 0, CentresOnly = 1, NoLeds = 2, Screen = 3 };

  // Fills `coordinates` and `oriented`; `angle` is the installation's
  // rotation in degrees.
  CoordinatesVisitor(TopologyData<CoordinatesData>& coordinates,
                     TopologyData<OrientedData>& oriented, std::uint32_t angle,
                     Detail detail = Everything)
      : coordinates_(&coordinates),
        oriented_(&oriented),
        orientedVisitor_(oriented, angle),
        detail_(detail) {}

  void enter(const Module& module) override;
  void enter(const Module& parent, const Module& module) override;

  // The centre of tile `child` entered from `parent`, whose centre is
  // `from` (read only when `parent` is a tile), with `turned` the child's
  // orientation: the rule both this visitor and CentresVisitor place by.
  static TileCentre centreFrom(const Module& parent, TileCentre from, const Module& child,
                               const OrientedData& turned);

  void computeLeds(const Module& module);
  void computeSensors(const Module& module);
  void computeBorders(const Module& module);

  // Box of all tiles placed so far, and of the origin.
  float minX() const { return minX_; }
  float minY() const { return minY_; }
  float maxX() const { return maxX_; }
  float maxY() const { return maxY_; }
  // Screen size in pixels: the box's extent plus one, truncated.
  std::uint32_t screenWidth() const { return static_cast<std::uint32_t>(maxX_ - minX_ + 1); }
  std::uint32_t screenHeight() const { return static_cast<std::uint32_t>(maxY_ - minY_ + 1); }

 private:
  TopologyData<CoordinatesData>* coordinates_;
  TopologyData<OrientedData>* oriented_;
  OrientedVisitor orientedVisitor_;
  // LEDs and sensors of one tile, unless only centres are wanted, and the
  // box; `data` is the tile's record.
  void place(const Module& module, CoordinatesData& data);
  void computeLeds(const TileTables& tables, const OrientedData& turned, CoordinatesData& data);
  void computeSensors(const TileTables& tables, const OrientedData& turned, CoordinatesData& data);
  void computeBorders(const TileTables& tables, const CoordinatesData& data);

  // A model's LED positions turned by some rotation steps, relative to the
  // tile's centre and before the orientation sign: the same for every tile
  // of that type and rotation, so worked out once per walk instead of
  // through the table operations for every LED of every tile.
  struct LedShape {
    ModuleType type;
    std::uint32_t rotation;
    std::vector<float> x;
    std::vector<float> y;
  };
  const LedShape& ledShape(const TileTables& tables, std::uint32_t rotation);
  // A handful at most: one per model and rotation met.
  std::vector<LedShape> shapes_;

  Detail detail_;
  float minX_ = 0;
  float minY_ = 0;
  float maxX_ = 0;
  float maxY_ = 0;
};

}  // namespace lc
